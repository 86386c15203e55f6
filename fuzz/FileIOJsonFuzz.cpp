#include "fuzz/RoundTrip.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/KeptSaves.h"

using namespace brimo;

// Every file-IO document and write-path request, and the drive's record of a kept save (which
// any program of the user can write); each decoder sees every input, since a document of one
// kind often decodes as another.
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
    fuzz::checkJsonRoundTrip(input, decodeKeptSave);
    return 0;
}
