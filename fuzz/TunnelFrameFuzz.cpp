#include "fuzz/FuzzCheck.h"
#include "service/tunnel/TunnelFrame.h"

#include <algorithm>

using namespace brimo;

// A header that decodes is re-encoded field by field: the result is the input with the reserved
// byte cleared, and it decodes to the same header.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes raw(data, data + size);
    const auto header = decodeTunnelFrameHeader(raw);
    if (!header) return 0;
    FUZZ_CHECK(size == kTunnelHeaderSize);
    FUZZ_CHECK(header->kind >= 1 && header->kind <= 5);
    FUZZ_CHECK(header->length <= kTunnelMaxPayload);

    // A whole frame of up to 5 MiB per input would slow the run down for nothing: a long payload
    // is left out and the length field compared on its own.
    const bool wholePayload = header->length <= 4096;
    const auto frame = encodeTunnelFrame(static_cast<TunnelFrameKind>(header->kind), header->code,
                                         header->flowID, Bytes(wholePayload ? header->length : 0));
    if (header->flowID == 0) {
        FUZZ_CHECK(!frame);
        return 0;
    }
    FUZZ_CHECK(frame.has_value());
    Bytes expected = raw;
    expected[5] = 0;
    if (!wholePayload) std::fill(expected.begin() + 12, expected.end(), 0);
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), frame->begin()));
    FUZZ_CHECK(frame->size() == kTunnelHeaderSize + (wholePayload ? header->length : 0));

    const auto again = decodeTunnelFrameHeader(Bytes(frame->begin(), frame->begin() + 16));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->kind == header->kind && again->code == header->code &&
               again->flowID == header->flowID);
    return 0;
}
