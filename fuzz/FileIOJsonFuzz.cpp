#include "fuzz/RoundTrip.h"
#include "shared/messages/FileIOMessages.h"

using namespace brimo;

// Every file-IO document and write-path request; each decoder sees every input, since a document
// of one kind often decodes as another.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    fuzz::checkJsonRoundTrip(input, decodeFileIOBeginReadRequest);
    fuzz::checkJsonRoundTrip(input, decodeFileIOEndReadRequest);
    fuzz::checkJsonRoundTrip(input, decodeFileIOBeginWriteRequest);
    fuzz::checkJsonRoundTrip(input, decodeFileIOEndWriteRequest);
    fuzz::checkJsonRoundTrip(input, decodeSharedFileDescriptor);
    fuzz::checkJsonRoundTrip(input, decodeFileIODeviceRejection);
    fuzz::checkJsonRoundTrip(input, decodeRelayTruncateWriteRequest);
    fuzz::checkJsonRoundTrip(input, decodeRelayCommitWriteRequest);
    return 0;
}
