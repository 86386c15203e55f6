#include "extension/PhonePush.h"

#include "extension/FileSystemErrors.h"
#include "shared/Log.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "shared/messages/SharedFileStorage.h"

#include <cerrno>
#include <cstring>

namespace brimo::fs {

namespace {

constexpr log::Logger pushLog{log::kSubsystem, "Extension"};
constexpr uint16_t kLookup = 2;
// The chunk requests carry the identifier behind a 16-bit length.
constexpr size_t kLongestIdentifier = 65535;

} // namespace

asio::awaitable<PhoneItem> askForItem(PhoneLink& link, uint16_t code, Bytes request) {
    const CallOutcome outcome = co_await link.relay(code, std::move(request));
    PhoneItem described;
    described.error = relayErrno(outcome, ENOTDIR);
    if (described.error != 0) co_return described;
    if (auto summary = decodeRelayItemSummary(outcome.data)) {
        described.summary = std::move(*summary);
    } else {
        pushLog.error("the phone's item description does not decode");
        described.error = EIO;
    }
    co_return described;
}

asio::awaitable<PhoneItem> describeOnPhone(PhoneLink& link, std::string identifier,
                                           std::optional<RelayLookupSource> source) {
    Bytes request = encodeJson(RelayLookupRequest{std::move(identifier), source});
    PhoneItem found = co_await askForItem(link, kLookup, std::move(request));
    co_return found;
}

asio::awaitable<PhoneItem> createOnPhone(PhoneLink& link, std::string parent, std::string name,
                                         bool directory, uint32_t mode) {
    Bytes request = encodeJson(
        RelayCreateItemRequest{std::move(parent), std::move(name), directory, mode & 07777});
    PhoneItem made =
        co_await askForItem(link, uint16_t(FileSystemRequest::createItem), std::move(request));
    co_return made;
}

asio::awaitable<PhoneItem> pushToPhone(PhoneLink& link, std::string identifier,
                                       Bytes expectedVersion, std::string sourceName, uint64_t size,
                                       ItemTimes times) {
    PhoneItem pushed;
    if (identifier.size() > kLongestIdentifier) {
        SharedFileStorage::removeSharedFile(sourceName);
        pushed.error = ENAMETOOLONG;
        co_return pushed;
    }
    const Uuid session = Uuid::random();
    const std::string token = session.toString();
    Bytes request = encodeJson(FileIOBeginWriteRequest{
        identifier, session, std::move(expectedVersion), token, sourceName, size});
    const CallOutcome outcome =
        co_await link.fileIO(int64_t(FileIOOperation::beginWrite), std::move(request), session);
    pushed.error = fileIOErrno(outcome);
    if (pushed.error == 0) {
        if (auto summary = decodeRelayItemSummary(outcome.data))
            pushed.summary = std::move(*summary);
        else
            pushed.error = EIO;
    }
    Bytes end = encodeJson(FileIOEndWriteRequest{token});
    co_await link.fileIO(int64_t(FileIOOperation::endWrite), std::move(end));
    SharedFileStorage::removeSharedFile(sourceName);
    PhoneItem done =
        co_await setTimesOnPhone(link, std::move(identifier), times, std::move(pushed));
    co_return done;
}

asio::awaitable<PhoneItem> setTimesOnPhone(PhoneLink& link, std::string identifier, ItemTimes times,
                                           PhoneItem pushed) {
    if (pushed.error != 0 || times.empty()) co_return pushed;
    Bytes change =
        encodeJson(RelaySetAttributesRequest{identifier, {}, times.accessTime, times.modifyTime});
    const CallOutcome set =
        co_await link.relay(uint16_t(FileSystemRequest::setAttributes), std::move(change));
    // The content is on the phone either way; only its times could not follow.
    if (int error = relayErrno(set)) {
        pushLog.error("the times of %s did not reach the phone: %s", identifier.c_str(),
                      std::strerror(error));
        co_return pushed;
    }
    PhoneItem refreshed =
        co_await describeOnPhone(link, identifier, RelayLookupSource::fsSetAttributesRefresh);
    if (refreshed.error == 0) pushed.summary = std::move(refreshed.summary);
    co_return pushed;
}

} // namespace brimo::fs
