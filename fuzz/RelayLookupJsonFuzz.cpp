#include "fuzz/RoundTrip.h"
#include "shared/messages/RelayLookupMessages.h"

using namespace brimo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    fuzz::checkJsonRoundTrip(input, decodeRelayLookupRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelayItemSummary);
    return 0;
}
