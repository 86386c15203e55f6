#include "shared/messages/ChunkMessages.h"

#include "shared/messages/BinaryCodec.h"

namespace brimo {

std::optional<Bytes> encodeReadChunkRequest(std::string_view identifier, uint64_t offset) {
    BinaryWriter writer;
    if (!writer.putString(identifier)) return std::nullopt;
    writer.putUInt64(offset);
    writer.putUInt32(chunkSize);
    return std::move(writer).take();
}

std::optional<ReadChunkRequest> decodeReadChunkRequest(std::span<const uint8_t> payload) {
    BinaryReader reader(payload);
    auto identifier = reader.string();
    const auto offset = reader.uint64();
    const auto maxLength = reader.uint32();
    if (!identifier || !offset || !maxLength || !reader.atEnd()) return std::nullopt;
    return ReadChunkRequest{std::move(*identifier), *offset, *maxLength};
}

std::optional<Bytes> encodeReadChunkResponse(const ReadChunkResponse& response) {
    BinaryWriter writer;
    writer.putUInt64(response.nextOffset);
    writer.putBool(response.eof);
    if (!writer.putData(response.data)) return std::nullopt;
    return std::move(writer).take();
}

std::optional<ReadChunkResponse> decodeReadChunkResponse(std::span<const uint8_t> payload) {
    BinaryReader reader(payload);
    const auto nextOffset = reader.uint64();
    const auto eof = reader.boolean();
    const auto data = reader.data();
    if (!nextOffset || !eof || !data || !reader.atEnd()) return std::nullopt;
    return ReadChunkResponse{*nextOffset, *eof, Bytes(data->begin(), data->end())};
}

std::optional<Bytes> encodeWriteChunkRequest(std::string_view identifier, uint64_t offset,
                                             std::span<const uint8_t> data) {
    BinaryWriter writer;
    if (!writer.putString(identifier)) return std::nullopt;
    writer.putUInt64(offset);
    if (!writer.putData(data)) return std::nullopt;
    return std::move(writer).take();
}

std::optional<WriteChunkRequest> decodeWriteChunkRequest(std::span<const uint8_t> payload) {
    BinaryReader reader(payload);
    auto identifier = reader.string();
    const auto offset = reader.uint64();
    const auto data = reader.data();
    if (!identifier || !offset || !data || !reader.atEnd()) return std::nullopt;
    return WriteChunkRequest{std::move(*identifier), *offset, Bytes(data->begin(), data->end())};
}

std::optional<Bytes> encodeWriteChunkResponse(const RelayWriteChunkResponse& response) {
    BinaryWriter writer;
    writer.putUInt64(response.nextOffset);
    writer.putUInt64(response.currentSize);
    if (response.summary && !writer.putData(encodeJson(*response.summary))) return std::nullopt;
    return std::move(writer).take();
}

std::optional<RelayWriteChunkResponse> decodeWriteChunkResponse(std::span<const uint8_t> payload) {
    BinaryReader reader(payload);
    const auto nextOffset = reader.uint64();
    const auto currentSize = reader.uint64();
    if (!nextOffset || !currentSize) return std::nullopt;
    RelayWriteChunkResponse response{*nextOffset, *currentSize, std::nullopt};
    if (reader.atEnd()) return response;
    const auto summaryJson = reader.data();
    if (!summaryJson || !reader.atEnd()) return std::nullopt;
    response.summary = decodeRelayItemSummary(*summaryJson);
    if (!response.summary) return std::nullopt;
    return response;
}

} // namespace brimo
