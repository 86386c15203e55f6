#include "extension/FileSystemErrors.h"

#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"

#include <cerrno>

namespace brimo::fs {

namespace {

int failureErrno(const Bytes& payload) {
    const auto failure = decodeRelayFailure(payload);
    if (!failure) return EIO;
    if (failure->reason == "notEmpty") return ENOTEMPTY;
    if (failure->reason == "nameTooLong") return ENAMETOOLONG;
    if (failure->reason == "noSpace") return ENOSPC;
    if (failure->reason == "permissionDenied") return EACCES;
    if (failure->reason == "busy") return EBUSY;
    return EIO;
}

// The phone's answer status, as a program should see it.
int statusErrno(int64_t status, const Bytes& payload, int wrongKind) {
    switch (static_cast<FileSystemStatus>(status)) {
    case FileSystemStatus::ok:
        return 0;
    case FileSystemStatus::unsupported:
        return EOPNOTSUPP;
    case FileSystemStatus::notFound:
        return ENOENT;
    case FileSystemStatus::badRequest:
        return EINVAL;
    case FileSystemStatus::wrongKind:
        return wrongKind;
    case FileSystemStatus::versionMismatch:
        return ESTALE; // the item changed on the phone since we last saw it
    case FileSystemStatus::failed:
        return failureErrno(payload);
    case FileSystemStatus::noStorage:
        return ENODEV;
    case FileSystemStatus::exists:
        return EEXIST;
    }
    return EIO;
}

} // namespace

int relayErrno(const CallOutcome& outcome, int wrongKind) {
    if (outcome.linkError != 0) return outcome.linkError;
    switch (usbMuxRelayErrorFromRaw(outcome.code).value_or(UsbMuxRelayError::reserved2)) {
    case UsbMuxRelayError::success:
        return 0;
    case UsbMuxRelayError::noDevices:
    case UsbMuxRelayError::notConnected:
        return ENODEV;
    case UsbMuxRelayError::payloadTooLarge:
        return E2BIG;
    case UsbMuxRelayError::deviceStatus:
        return statusErrno(outcome.status, outcome.data, wrongKind);
    default: // not registered (yet), or the tunnel failed twice
        return EIO;
    }
}

int fileIOErrno(const CallOutcome& outcome) {
    if (outcome.linkError != 0) return outcome.linkError;
    switch (fileIOBridgeErrorFromRaw(outcome.code).value_or(FileIOBridgeError::reserved2)) {
    case FileIOBridgeError::success:
        return 0;
    case FileIOBridgeError::invalidRequest:
        return EINVAL;
    case FileIOBridgeError::noDevice:
        return ENODEV;
    case FileIOBridgeError::deviceRejected: {
        const auto rejection = decodeFileIODeviceRejection(outcome.data);
        return rejection
                   ? statusErrno(rejection->status, rejection->detail.value_or(Bytes{}), EISDIR)
                   : EIO;
    }
    default:
        return EIO;
    }
}

} // namespace brimo::fs
