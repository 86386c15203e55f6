#include "peers/phone-sim/FramedPhoneApp.h"

#include "peers/phone-sim/DeviceRegistry.h"
#include "shared/messages/FileIOMessages.h"

namespace brimo::sim {

namespace {

TunnelMessage status(const StorageStatus& status) {
    return {static_cast<uint16_t>(status.code),
            status.failure ? encodeJson(*status.failure) : Bytes{}};
}

TunnelMessage success(Bytes payload = {}) {
    return {static_cast<uint16_t>(FileSystemStatus::ok), std::move(payload)};
}

// The storage's answer, or its refusal.
template <class T, class Encode>
TunnelMessage reply(const StorageResult<T>& result, Encode encode) {
    if (auto* failed = std::get_if<StorageStatus>(&result)) return status(*failed);
    std::optional<Bytes> payload = encode(std::get<T>(result));
    return payload ? success(std::move(*payload)) : status(FileSystemStatus::failed);
}

template <class T> std::optional<Bytes> encodeDocument(const T& document) {
    return encodeJson(document);
}

// Decodes the request with `decode` and hands it to `serve`; an undecodable one is refused.
template <class Decode, class Serve>
TunnelMessage serveDecoded(const Bytes& payload, Decode decode, Serve serve) {
    auto decoded = decode(payload);
    if (!decoded) return status(FileSystemStatus::badRequest);
    return serve(*decoded);
}

} // namespace

FramedPhoneApp::FramedPhoneApp(std::unique_ptr<PhoneStorage> storage, SimStats& stats)
    : storage_(std::move(storage))
    , stats_(stats) {}

TunnelMessage FramedPhoneApp::answer(uint16_t code, const Bytes& payload, StagedWrites& writes) {
    stats_.countAnswer(code);
    return respond(code, payload, writes);
}

TunnelMessage FramedPhoneApp::respond(uint16_t code, const Bytes& payload, StagedWrites& writes) {
    if (code == static_cast<uint16_t>(FramedRequest::ping)) return success();
    if (code == static_cast<uint16_t>(FramedRequest::unmountNoted)) {
        ++stats_.unmountsNoted;
        return success();
    }
    if (!isStorageRequest(code)) return status(FileSystemStatus::unsupported);
    if (!storage_) return status(FileSystemStatus::noStorage);
    return answerFromStorage(code, payload, writes);
}

bool FramedPhoneApp::isStorageRequest(uint16_t code) {
    switch (code) {
    case static_cast<uint16_t>(FramedRequest::lookup):
    case static_cast<uint16_t>(FramedRequest::readChunk):
    case static_cast<uint16_t>(FramedRequest::truncateWrite):
    case static_cast<uint16_t>(FramedRequest::writeChunk):
    case static_cast<uint16_t>(FramedRequest::commitWrite):
    case static_cast<uint16_t>(FileSystemRequest::listDirectory):
    case static_cast<uint16_t>(FileSystemRequest::createItem):
    case static_cast<uint16_t>(FileSystemRequest::removeItem):
    case static_cast<uint16_t>(FileSystemRequest::renameItem):
    case static_cast<uint16_t>(FileSystemRequest::setAttributes):
    case static_cast<uint16_t>(FileSystemRequest::volumeStatistics):
        return true;
    default:
        return false;
    }
}

TunnelMessage FramedPhoneApp::answerFromStorage(uint16_t code, const Bytes& payload,
                                                StagedWrites& writes) {
    PhoneStorage& storage = *storage_;
    switch (code) {
    case static_cast<uint16_t>(FramedRequest::lookup):
        return serveDecoded(payload, decodeRelayLookupRequest, [&](const auto& request) {
            return reply(storage.lookup(request.identifier), encodeDocument<RelayItemSummary>);
        });
    case static_cast<uint16_t>(FramedRequest::readChunk):
        return serveDecoded(payload, decodeReadChunkRequest, [&](const auto& request) {
            auto chunk = storage.read(request.identifier, request.offset, request.maxLength);
            TunnelMessage message = reply(chunk, encodeReadChunkResponse);
            if (message.code == static_cast<uint16_t>(FileSystemStatus::ok))
                stats_.readChunkBytes += std::get<ReadChunkResponse>(chunk).data.size();
            return message;
        });
    case static_cast<uint16_t>(FramedRequest::truncateWrite):
        return serveDecoded(payload, decodeRelayTruncateWriteRequest, [&](const auto& request) {
            return status(storage.truncate(request.identifier, request.size,
                                           request.expectedContentVersion, writes));
        });
    case static_cast<uint16_t>(FramedRequest::writeChunk):
        // The chunk goes from the message to the file without a copy.
        return serveDecoded(payload, decodeWriteChunkView, [&](const auto& request) {
            return reply(storage.write(request.identifier, request.offset, request.data, writes),
                         encodeWriteChunkResponse);
        });
    case static_cast<uint16_t>(FramedRequest::commitWrite):
        return serveDecoded(payload, decodeRelayCommitWriteRequest, [&](const auto& request) {
            return reply(storage.commit(request.identifier, writes),
                         encodeDocument<RelayItemSummary>);
        });
    case static_cast<uint16_t>(FileSystemRequest::listDirectory):
        return serveDecoded(payload, decodeRelayListDirectoryRequest, [&](const auto& request) {
            return reply(storage.list(request), encodeDocument<RelayDirectoryPage>);
        });
    case static_cast<uint16_t>(FileSystemRequest::createItem):
        return serveDecoded(payload, decodeRelayCreateItemRequest, [&](const auto& request) {
            return reply(storage.create(request), encodeDocument<RelayItemSummary>);
        });
    case static_cast<uint16_t>(FileSystemRequest::removeItem):
        return serveDecoded(payload, decodeRelayRemoveItemRequest,
                            [&](const auto& request) { return status(storage.remove(request)); });
    case static_cast<uint16_t>(FileSystemRequest::renameItem):
        return serveDecoded(payload, decodeRelayRenameItemRequest, [&](const auto& request) {
            return reply(storage.rename(request), encodeDocument<RelayItemSummary>);
        });
    case static_cast<uint16_t>(FileSystemRequest::setAttributes):
        return serveDecoded(payload, decodeRelaySetAttributesRequest, [&](const auto& request) {
            return status(storage.setAttributes(request));
        });
    case static_cast<uint16_t>(FileSystemRequest::volumeStatistics):
        // The request has no document; whatever it carries is ignored.
        return reply(storage.volumeStatistics(), encodeDocument<RelayVolumeStatistics>);
    default:
        return status(FileSystemStatus::unsupported);
    }
}

} // namespace brimo::sim
