#include "shared/messages/ChunkMessages.h"

#include "shared/messages/BinaryCodec.h"

#include <algorithm>
#include <cstdint>

namespace brimo {

std::optional<Bytes> encodeReadChunkRequest(std::string_view identifier, uint64_t offset,
                                            uint32_t maxLength) {
    BinaryWriter writer;
    if (!writer.putString(identifier)) return std::nullopt;
    writer.putUInt64(offset);
    writer.putUInt32(maxLength);
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

std::optional<ReadChunkView> decodeReadChunkView(std::span<const uint8_t> payload) {
    BinaryReader reader(payload);
    const auto nextOffset = reader.uint64();
    const auto eof = reader.boolean();
    const auto data = reader.data();
    if (!nextOffset || !eof || !data || !reader.atEnd()) return std::nullopt;
    return ReadChunkView{*nextOffset, *eof, *data};
}

std::optional<ReadChunkResponse> decodeReadChunkResponse(std::span<const uint8_t> payload) {
    const auto view = decodeReadChunkView(payload);
    if (!view) return std::nullopt;
    return ReadChunkResponse{view->nextOffset, view->eof,
                             Bytes(view->data.begin(), view->data.end())};
}

std::optional<WriteChunkDraft> draftWriteChunkRequest(std::string_view identifier, uint64_t offset,
                                                      uint32_t dataLength) {
    BinaryWriter writer;
    if (!writer.putString(identifier)) return std::nullopt;
    writer.putUInt64(offset);
    writer.putUInt32(dataLength);
    WriteChunkDraft draft{std::move(writer).take(), 0};
    draft.dataAt = draft.payload.size();
    draft.payload.resize(draft.dataAt + dataLength);
    return draft;
}

void shortenWriteChunkRequest(WriteChunkDraft& draft, uint32_t dataLength) {
    const size_t lengthAt = draft.dataAt - 4;
    for (size_t i = 0; i < 4; ++i)
        draft.payload[lengthAt + i] = static_cast<uint8_t>(dataLength >> (8 * i));
    draft.payload.resize(draft.dataAt + dataLength);
}

std::optional<Bytes> encodeWriteChunkRequest(std::string_view identifier, uint64_t offset,
                                             std::span<const uint8_t> data) {
    if (data.size() > UINT32_MAX) return std::nullopt;
    auto draft = draftWriteChunkRequest(identifier, offset, static_cast<uint32_t>(data.size()));
    if (!draft) return std::nullopt;
    std::copy(data.begin(), data.end(), draft->payload.begin() + draft->dataAt);
    return std::move(draft->payload);
}

std::optional<WriteChunkView> decodeWriteChunkView(std::span<const uint8_t> payload) {
    BinaryReader reader(payload);
    auto identifier = reader.string();
    const auto offset = reader.uint64();
    const auto data = reader.data();
    if (!identifier || !offset || !data || !reader.atEnd()) return std::nullopt;
    return WriteChunkView{std::move(*identifier), *offset, *data};
}

std::optional<WriteChunkRequest> decodeWriteChunkRequest(std::span<const uint8_t> payload) {
    auto view = decodeWriteChunkView(payload);
    if (!view) return std::nullopt;
    return WriteChunkRequest{std::move(view->identifier), view->offset,
                             Bytes(view->data.begin(), view->data.end())};
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
