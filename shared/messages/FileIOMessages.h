#pragma once

#include "shared/Bytes.h"
#include "shared/json/Uuid.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The file-IO exchange between the file-system extension and the service (operation codes, reply
// codes, request and reply documents) and the JSON requests of the write path to the phone.
namespace brimo {

// The operation of a file-IO call; each names its request document.
enum class FileIOOperation : int64_t {
    beginRead = 0,  // FileIOBeginReadRequest -> SharedFileDescriptor
    endRead = 1,    // FileIOEndReadRequest -> empty
    beginWrite = 2, // FileIOBeginWriteRequest -> RelayItemSummary after the write
    endWrite = 3,   // FileIOEndWriteRequest -> empty
};

std::optional<FileIOOperation> fileIOOperationFromRaw(int64_t raw);

// The reply code of a file-IO call. Clients treat every non-zero code as failure; the reserved
// codes are never sent.
enum class FileIOBridgeError : int64_t {
    success = 0,
    notRegistered = 1,
    reserved2 = 2,
    invalidRequest = 3, // the request does not decode, or a tunnel payload was too large
    noDevice = 4,
    deviceRejected = 5, // reply data: FileIODeviceRejection
    ioFailed = 6,
    codingFailed = 7,
    reserved8 = 8,
};

std::optional<FileIOBridgeError> fileIOBridgeErrorFromRaw(int64_t raw);

struct FileIOBeginReadRequest {
    std::string identifier;
    Uuid sessionID; // echoed in the progress notifications of this transfer

    bool operator==(const FileIOBeginReadRequest&) const = default;
};

struct FileIOEndReadRequest {
    std::string token; // of the SharedFileDescriptor that beginRead returned

    bool operator==(const FileIOEndReadRequest&) const = default;
};

struct FileIOBeginWriteRequest {
    std::string identifier;
    Uuid sessionID;
    Bytes expectedContentVersion;
    std::string token;          // names the write session for endWrite
    std::string sourceFileName; // a file name in the shared container, not a path
    uint64_t byteCount = 0;     // also the item's size after the write

    bool operator==(const FileIOBeginWriteRequest&) const = default;
};

struct FileIOEndWriteRequest {
    std::string token;

    bool operator==(const FileIOEndWriteRequest&) const = default;
};

// Reply of beginRead: where the item's content lies in the shared container.
struct SharedFileDescriptor {
    std::string token;
    std::string fileName;
    uint64_t byteCount = 0;
    Bytes contentVersion;
    Bytes metadataVersion;

    bool operator==(const SharedFileDescriptor&) const = default;
};

// Reply data of deviceRejected.
struct FileIODeviceRejection {
    int64_t status = 0; // a RelayDeviceStatus raw value
    // What the phone sent along with its status (why it refused), passed on unread; left out
    // when it sent nothing. Readers that do not know the key ignore it.
    std::optional<Bytes> detail = std::nullopt;

    bool operator==(const FileIODeviceRejection&) const = default;
};

struct RelayTruncateWriteRequest {
    std::string identifier;
    uint64_t size = 0;
    std::optional<Bytes> expectedContentVersion;

    bool operator==(const RelayTruncateWriteRequest&) const = default;
};

struct RelayCommitWriteRequest {
    std::string identifier;

    bool operator==(const RelayCommitWriteRequest&) const = default;
};

Bytes encodeJson(const FileIOBeginReadRequest& request);
std::optional<FileIOBeginReadRequest> decodeFileIOBeginReadRequest(std::span<const uint8_t> json);

Bytes encodeJson(const FileIOEndReadRequest& request);
std::optional<FileIOEndReadRequest> decodeFileIOEndReadRequest(std::span<const uint8_t> json);

Bytes encodeJson(const FileIOBeginWriteRequest& request);
std::optional<FileIOBeginWriteRequest> decodeFileIOBeginWriteRequest(std::span<const uint8_t> json);

Bytes encodeJson(const FileIOEndWriteRequest& request);
std::optional<FileIOEndWriteRequest> decodeFileIOEndWriteRequest(std::span<const uint8_t> json);

Bytes encodeJson(const SharedFileDescriptor& descriptor);
std::optional<SharedFileDescriptor> decodeSharedFileDescriptor(std::span<const uint8_t> json);

Bytes encodeJson(const FileIODeviceRejection& rejection);
std::optional<FileIODeviceRejection> decodeFileIODeviceRejection(std::span<const uint8_t> json);

Bytes encodeJson(const RelayTruncateWriteRequest& request);
std::optional<RelayTruncateWriteRequest>
decodeRelayTruncateWriteRequest(std::span<const uint8_t> json);

Bytes encodeJson(const RelayCommitWriteRequest& request);
std::optional<RelayCommitWriteRequest> decodeRelayCommitWriteRequest(std::span<const uint8_t> json);

} // namespace brimo
