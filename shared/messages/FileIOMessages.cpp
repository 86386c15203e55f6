#include "shared/messages/FileIOMessages.h"

#include "shared/json/Base64.h"
#include "shared/json/JsonFields.h"
#include "shared/json/RawEnum.h"

#include <nlohmann/json.hpp>

namespace brimo {
std::optional<FileIOOperation> fileIOOperationFromRaw(int64_t raw) {
    return enumFromRaw(raw, FileIOOperation::endWrite);
}

std::optional<FileIOBridgeError> fileIOBridgeErrorFromRaw(int64_t raw) {
    return enumFromRaw(raw, FileIOBridgeError::reserved8);
}

Bytes encodeJson(const FileIOBeginReadRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    document["sessionID"] = request.sessionID.toString();
    return json::serialize(document);
}

std::optional<FileIOBeginReadRequest> decodeFileIOBeginReadRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<FileIOBeginReadRequest>(bytes, [](json::FieldReader& fields) {
        return FileIOBeginReadRequest{fields.string("identifier"), fields.uuid("sessionID")};
    });
}

Bytes encodeJson(const FileIOEndReadRequest& request) {
    nlohmann::ordered_json document;
    document["token"] = request.token;
    return json::serialize(document);
}

std::optional<FileIOEndReadRequest> decodeFileIOEndReadRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<FileIOEndReadRequest>(bytes, [](json::FieldReader& fields) {
        return FileIOEndReadRequest{fields.string("token")};
    });
}

Bytes encodeJson(const FileIOBeginWriteRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    document["sessionID"] = request.sessionID.toString();
    document["expectedContentVersion"] = base64Encode(request.expectedContentVersion);
    document["token"] = request.token;
    document["sourceFileName"] = request.sourceFileName;
    document["byteCount"] = request.byteCount;
    return json::serialize(document);
}

std::optional<FileIOBeginWriteRequest>
decodeFileIOBeginWriteRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<FileIOBeginWriteRequest>(bytes, [](json::FieldReader& fields) {
        return FileIOBeginWriteRequest{
            .identifier = fields.string("identifier"),
            .sessionID = fields.uuid("sessionID"),
            .expectedContentVersion = fields.data("expectedContentVersion"),
            .token = fields.string("token"),
            .sourceFileName = fields.string("sourceFileName"),
            .byteCount = fields.uint64("byteCount"),
        };
    });
}

Bytes encodeJson(const FileIOEndWriteRequest& request) {
    nlohmann::ordered_json document;
    document["token"] = request.token;
    return json::serialize(document);
}

std::optional<FileIOEndWriteRequest> decodeFileIOEndWriteRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<FileIOEndWriteRequest>(bytes, [](json::FieldReader& fields) {
        return FileIOEndWriteRequest{fields.string("token")};
    });
}

Bytes encodeJson(const SharedFileDescriptor& descriptor) {
    nlohmann::ordered_json document;
    document["token"] = descriptor.token;
    document["fileName"] = descriptor.fileName;
    document["byteCount"] = descriptor.byteCount;
    document["contentVersion"] = base64Encode(descriptor.contentVersion);
    document["metadataVersion"] = base64Encode(descriptor.metadataVersion);
    return json::serialize(document);
}

std::optional<SharedFileDescriptor> decodeSharedFileDescriptor(std::span<const uint8_t> bytes) {
    return json::decodeDocument<SharedFileDescriptor>(bytes, [](json::FieldReader& fields) {
        return SharedFileDescriptor{
            .token = fields.string("token"),
            .fileName = fields.string("fileName"),
            .byteCount = fields.uint64("byteCount"),
            .contentVersion = fields.data("contentVersion"),
            .metadataVersion = fields.data("metadataVersion"),
        };
    });
}

Bytes encodeJson(const FileIODeviceRejection& rejection) {
    nlohmann::ordered_json document;
    document["status"] = rejection.status;
    if (rejection.detail) document["detail"] = base64Encode(*rejection.detail);
    return json::serialize(document);
}

std::optional<FileIODeviceRejection> decodeFileIODeviceRejection(std::span<const uint8_t> bytes) {
    return json::decodeDocument<FileIODeviceRejection>(bytes, [](json::FieldReader& fields) {
        return FileIODeviceRejection{fields.int64("status"), fields.optionalData("detail")};
    });
}

Bytes encodeJson(const RelayTruncateWriteRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    document["size"] = request.size;
    if (request.expectedContentVersion)
        document["expectedContentVersion"] = base64Encode(*request.expectedContentVersion);
    return json::serialize(document);
}

std::optional<RelayTruncateWriteRequest>
decodeRelayTruncateWriteRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayTruncateWriteRequest>(bytes, [](json::FieldReader& fields) {
        return RelayTruncateWriteRequest{
            .identifier = fields.string("identifier"),
            .size = fields.uint64("size"),
            .expectedContentVersion = fields.optionalData("expectedContentVersion"),
        };
    });
}

Bytes encodeJson(const RelayCommitWriteRequest& request) {
    nlohmann::ordered_json document;
    document["identifier"] = request.identifier;
    return json::serialize(document);
}

std::optional<RelayCommitWriteRequest>
decodeRelayCommitWriteRequest(std::span<const uint8_t> bytes) {
    return json::decodeDocument<RelayCommitWriteRequest>(bytes, [](json::FieldReader& fields) {
        return RelayCommitWriteRequest{fields.string("identifier")};
    });
}

} // namespace brimo
