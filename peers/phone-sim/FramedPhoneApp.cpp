#include "peers/phone-sim/FramedPhoneApp.h"

#include "peers/phone-sim/DeviceRegistry.h"
#include "shared/messages/FileIOMessages.h"

namespace brimo::sim {

namespace {

TunnelMessage status(PhoneStatus status) {
    return {static_cast<uint16_t>(status), {}};
}

TunnelMessage success(Bytes payload = {}) {
    return {static_cast<uint16_t>(PhoneStatus::ok), std::move(payload)};
}

// The storage's answer, or its refusal status.
template <class T, class Encode>
TunnelMessage reply(const StorageResult<T>& result, Encode encode) {
    if (auto* failed = std::get_if<PhoneStatus>(&result)) return status(*failed);
    std::optional<Bytes> payload = encode(std::get<T>(result));
    return payload ? success(std::move(*payload)) : status(PhoneStatus::ioFailed);
}

std::optional<Bytes> encodeSummary(const RelayItemSummary& summary) {
    return encodeJson(summary);
}

} // namespace

FramedPhoneApp::FramedPhoneApp(std::unique_ptr<PhoneStorage> storage, SimStats& stats)
    : storage_(std::move(storage))
    , stats_(stats) {}

TunnelMessage FramedPhoneApp::answer(uint16_t code, const Bytes& payload, StagedWrites& writes) {
    switch (static_cast<FramedRequest>(code)) {
    case FramedRequest::ping:
        return success();
    case FramedRequest::unmountNoted:
        ++stats_.unmountsNoted;
        return success();
    case FramedRequest::lookup:
    case FramedRequest::readChunk:
    case FramedRequest::truncateWrite:
    case FramedRequest::writeChunk:
    case FramedRequest::commitWrite:
        if (!storage_) return status(PhoneStatus::noStorage);
        return answerFromStorage(static_cast<FramedRequest>(code), payload, writes);
    }
    return status(PhoneStatus::unsupported);
}

TunnelMessage FramedPhoneApp::answerFromStorage(FramedRequest request, const Bytes& payload,
                                                StagedWrites& writes) {
    PhoneStorage& storage = *storage_;
    switch (request) {
    case FramedRequest::lookup: {
        auto decoded = decodeRelayLookupRequest(payload);
        if (!decoded) return status(PhoneStatus::badRequest);
        return reply(storage.lookup(decoded->identifier), encodeSummary);
    }
    case FramedRequest::readChunk: {
        auto decoded = decodeReadChunkRequest(payload);
        if (!decoded) return status(PhoneStatus::badRequest);
        return reply(storage.read(decoded->identifier, decoded->offset, decoded->maxLength),
                     encodeReadChunkResponse);
    }
    case FramedRequest::truncateWrite: {
        auto decoded = decodeRelayTruncateWriteRequest(payload);
        if (!decoded) return status(PhoneStatus::badRequest);
        return status(storage.truncate(decoded->identifier, decoded->size,
                                       decoded->expectedContentVersion, writes));
    }
    case FramedRequest::writeChunk: {
        auto decoded = decodeWriteChunkRequest(payload);
        if (!decoded) return status(PhoneStatus::badRequest);
        return reply(storage.write(decoded->identifier, decoded->offset, decoded->data, writes),
                     encodeWriteChunkResponse);
    }
    case FramedRequest::commitWrite: {
        auto decoded = decodeRelayCommitWriteRequest(payload);
        if (!decoded) return status(PhoneStatus::badRequest);
        return reply(storage.commit(decoded->identifier, writes), encodeSummary);
    }
    default:
        return status(PhoneStatus::unsupported);
    }
}

} // namespace brimo::sim
