#include "fuzz/RoundTrip.h"
#include "shared/BridgeContract.h"

using namespace brimo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    fuzz::checkJsonRoundTrip(input, decodeNotifyBridgeStateChangedPayload);
    fuzz::checkJsonRoundTrip(input, decodeFileIOProgressPayload);
    fuzz::checkJsonRoundTrip(input, decodeItemMutationNotifyPayload);
    fuzz::checkJsonRoundTrip(input, decodeMountControlNotifyPayload);
    return 0;
}
