#pragma once

#include "shared/Bytes.h"
#include "shared/messages/RelayLookupMessages.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Binary payloads of the chunked transfers between the service and the phone. Each side encodes
// what it sends and decodes what it receives; encoders return none when a string or data field
// does not fit its length prefix, decoders return none for anything but one exact message.
namespace brimo {

// The size of every chunk the service asks for, and the most a write chunk carries.
inline constexpr uint32_t chunkSize = 4 * 1024 * 1024;

struct ReadChunkRequest {
    std::string identifier;
    uint64_t offset = 0;
    uint32_t maxLength = 0;

    bool operator==(const ReadChunkRequest&) const = default;
};

// Asks for `maxLength` bytes of the item from `offset`.
std::optional<Bytes> encodeReadChunkRequest(std::string_view identifier, uint64_t offset,
                                            uint32_t maxLength = chunkSize);
std::optional<ReadChunkRequest> decodeReadChunkRequest(std::span<const uint8_t> payload);

struct ReadChunkResponse {
    uint64_t nextOffset = 0; // where the next read is to start
    bool eof = false;        // no bytes follow this chunk
    Bytes data;              // the bytes at the requested offset

    bool operator==(const ReadChunkResponse&) const = default;
};

std::optional<Bytes> encodeReadChunkResponse(const ReadChunkResponse& response);
std::optional<ReadChunkResponse> decodeReadChunkResponse(std::span<const uint8_t> payload);

// A read-chunk response whose data still lies in the payload it was decoded from, so that a
// chunk goes from the message to the file without a copy; the payload must outlive it.
struct ReadChunkView {
    uint64_t nextOffset = 0;
    bool eof = false;
    std::span<const uint8_t> data;
};

std::optional<ReadChunkView> decodeReadChunkView(std::span<const uint8_t> payload);

struct WriteChunkRequest {
    std::string identifier;
    uint64_t offset = 0; // where `data` goes
    Bytes data;

    bool operator==(const WriteChunkRequest&) const = default;
};

std::optional<Bytes> encodeWriteChunkRequest(std::string_view identifier, uint64_t offset,
                                             std::span<const uint8_t> data);

// A write-chunk request with room for `dataLength` bytes of data from `dataAt` on, for the
// caller to fill in place (a chunk read from a file straight into the message).
struct WriteChunkDraft {
    Bytes payload;
    size_t dataAt = 0;
};

std::optional<WriteChunkDraft> draftWriteChunkRequest(std::string_view identifier, uint64_t offset,
                                                      uint32_t dataLength);
// Keeps only the first `dataLength` bytes of the draft's data.
void shortenWriteChunkRequest(WriteChunkDraft& draft, uint32_t dataLength);
std::optional<WriteChunkRequest> decodeWriteChunkRequest(std::span<const uint8_t> payload);

// A write-chunk request whose data still lies in the payload it was decoded from.
struct WriteChunkView {
    std::string identifier;
    uint64_t offset = 0;
    std::span<const uint8_t> data;
};

std::optional<WriteChunkView> decodeWriteChunkView(std::span<const uint8_t> payload);

struct RelayWriteChunkResponse {
    uint64_t nextOffset = 0;
    uint64_t currentSize = 0; // the item's size on the phone after the write
    std::optional<RelayItemSummary> summary;

    bool operator==(const RelayWriteChunkResponse&) const = default;
};

std::optional<Bytes> encodeWriteChunkResponse(const RelayWriteChunkResponse& response);
// Without a summary the payload is the two integers alone; otherwise one Data field follows that
// holds the summary's JSON.
std::optional<RelayWriteChunkResponse> decodeWriteChunkResponse(std::span<const uint8_t> payload);

} // namespace brimo
