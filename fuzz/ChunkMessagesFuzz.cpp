#include "fuzz/FuzzCheck.h"
#include "shared/messages/ChunkMessages.h"

#include <algorithm>

using namespace brimo;

namespace {

bool sameBytes(const std::optional<Bytes>& encoded, std::span<const uint8_t> input) {
    return encoded && std::ranges::equal(*encoded, input);
}

} // namespace

// The binary codecs have one encoding per value, so a payload that decodes must be exactly what
// the encoder writes for the decoded value. The exception is the summary's JSON inside a write
// response, which only has to decode to the same summary again.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);

    if (const auto request = decodeReadChunkRequest(input)) {
        const auto encoded = encodeReadChunkRequest(request->identifier, request->offset);
        // The encoder always asks for chunkSize bytes.
        if (request->maxLength == chunkSize) FUZZ_CHECK(sameBytes(encoded, input));
        FUZZ_CHECK(encoded &&
                   decodeReadChunkRequest(*encoded) ==
                       ReadChunkRequest{request->identifier, request->offset, chunkSize});
    }

    if (const auto response = decodeReadChunkResponse(input)) {
        const auto encoded = encodeReadChunkResponse(*response);
        FUZZ_CHECK(sameBytes(encoded, input));
        FUZZ_CHECK(decodeReadChunkResponse(*encoded) == response);
    }

    if (const auto request = decodeWriteChunkRequest(input)) {
        const auto encoded =
            encodeWriteChunkRequest(request->identifier, request->offset, request->data);
        FUZZ_CHECK(sameBytes(encoded, input));
        FUZZ_CHECK(decodeWriteChunkRequest(*encoded) == request);
    }

    if (const auto response = decodeWriteChunkResponse(input)) {
        const auto encoded = encodeWriteChunkResponse(*response);
        FUZZ_CHECK(encoded.has_value());
        if (!response->summary) FUZZ_CHECK(sameBytes(encoded, input));
        FUZZ_CHECK(decodeWriteChunkResponse(*encoded) == response);
    }
    return 0;
}
