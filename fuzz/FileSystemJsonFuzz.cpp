#include "fuzz/RoundTrip.h"
#include "shared/messages/FileSystemMessages.h"

using namespace brimo;

// Every file-system document; each decoder sees every input, since a document of one kind often
// decodes as another.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    fuzz::checkJsonRoundTrip(input, decodeRelayListDirectoryRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelayDirectoryPage);
    fuzz::checkJsonRoundTrip(input, decodeRelayCreateItemRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelayRemoveItemRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelayRenameItemRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelaySetAttributesRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelayVolumeStatistics);
    fuzz::checkJsonRoundTrip(input, decodeRelayFailure);
    // What decodes where a name belongs is a name.
    if (const auto create = decodeRelayCreateItemRequest(input))
        FUZZ_CHECK(isValidItemName(create->name));
    if (const auto rename = decodeRelayRenameItemRequest(input))
        FUZZ_CHECK(isValidItemName(rename->newName));
    if (const auto list = decodeRelayListDirectoryRequest(input))
        FUZZ_CHECK(list->limit > 0 && (!list->after || isValidItemName(*list->after)));
    return 0;
}
