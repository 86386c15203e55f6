#include "extension/WriteBehind.h"

#include "extension/FileSystemErrors.h"
#include "shared/Offload.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/FileIOMessages.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <cerrno>
#include <limits>
#include <unistd.h>
#include <utility>

namespace brimo::fs {

namespace {

constexpr uint16_t kCommitWrite = 6;
constexpr uint16_t kWriteChunk = 11;
constexpr uint16_t kTruncateWrite = 15;
// As when reading: two on their way keep the link busy.
constexpr int kInFlight = 3;

} // namespace

WriteBehind::WriteBehind(asio::any_io_executor loop, PhoneLink& link,
                         std::shared_ptr<ContentFile> content, Bytes baseVersion,
                         IdentifierOf identifierOf)
    : loop_(loop)
    , link_(link)
    , content_(std::move(content))
    , baseVersion_(std::move(baseVersion))
    , identifierOf_(std::move(identifierOf))
    , sendEnded_(loop) {}

void WriteBehind::written(ByteRange range) {
    sent_.remove(range);
    waiting_.add(range);
    pump();
}

void WriteBehind::truncated(uint64_t size) {
    sent_.remove({size, std::numeric_limits<uint64_t>::max()});
    waiting_.remove({size, std::numeric_limits<uint64_t>::max()});
}

// Whole chunks at their places, as a sequential writer leaves them behind.
void WriteBehind::pump() {
    if (stopped_ || finishing_ || failed_ != 0 || beginning_) return;
    while (inFlight_ < kInFlight) {
        std::optional<ByteRange> chunk;
        for (const auto& run : waiting_.within({0, std::numeric_limits<uint64_t>::max()})) {
            const uint64_t at = (run.begin + chunkSize - 1) / chunkSize * chunkSize;
            if (at + chunkSize <= run.end) {
                chunk = ByteRange{at, at + chunkSize};
                break;
            }
        }
        if (!chunk) return;
        if (!started_) {
            beginning_ = true;
            asio::co_spawn(
                loop_,
                [self = shared_from_this()]() -> asio::awaitable<void> {
                    self->failed_ = co_await self->begin();
                    self->beginning_ = false;
                    self->pump();
                },
                asio::detached);
            return;
        }
        waiting_.remove(*chunk);
        start(*chunk);
    }
}

void WriteBehind::start(ByteRange range) {
    sent_.add(range);
    ++inFlight_;
    asio::co_spawn(
        loop_,
        [self = shared_from_this(), range]() -> asio::awaitable<void> {
            const int error = co_await self->send(range);
            if (error != 0 && self->failed_ == 0) self->failed_ = error;
            --self->inFlight_;
            self->sendEnded_.set();
            self->pump();
        },
        asio::detached);
}

// Opens the phone's write of the item afresh: whatever went before is dropped there.
asio::awaitable<int> WriteBehind::begin() {
    const auto identifier = identifierOf_();
    if (!identifier) co_return ENOENT;
    Bytes request = encodeJson(RelayTruncateWriteRequest{*identifier, 0, baseVersion_});
    const CallOutcome outcome = co_await link_.relay(kTruncateWrite, std::move(request));
    const int error = relayErrno(outcome);
    if (error == 0) {
        started_ = true;
        sent_.clear();
        extent_ = 0;
    }
    co_return error;
}

asio::awaitable<int> WriteBehind::send(ByteRange range) {
    const auto identifier = identifierOf_();
    if (!identifier) co_return ENOENT;
    auto draft = draftWriteChunkRequest(*identifier, range.begin, uint32_t(range.size()));
    if (!draft) co_return ENAMETOOLONG;
    // The bytes as they are now; a program that writes them again sends them again. Read
    // beside the loop: on a cold page cache this takes as long as the link.
    auto read = [fd = content_->fd(), into = draft->payload.data() + draft->dataAt, range] {
        size_t got = 0;
        while (got < range.size()) {
            const ssize_t n = ::pread(fd, into + got, range.size() - got, off_t(range.begin + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::pair<size_t, int>{got, errno};
            if (n == 0) break;
            got += size_t(n);
        }
        return std::pair<size_t, int>{got, 0};
    };
    const auto [got, readError] = co_await offload(std::move(read));
    if (readError != 0) co_return readError;
    shortenWriteChunkRequest(*draft, uint32_t(got));
    const CallOutcome outcome = co_await link_.relay(kWriteChunk, std::move(draft->payload));
    int error = relayErrno(outcome);
    if (error == 0 && !decodeWriteChunkResponse(outcome.data)) error = EIO;
    if (error == 0) extent_ = std::max(extent_, range.begin + got);
    co_return error;
}

asio::awaitable<void> WriteBehind::drained(int most) {
    while (inFlight_ > most) {
        sendEnded_.reset();
        co_await sendEnded_.wait();
    }
}

asio::awaitable<PhoneItem> WriteBehind::finish(uint64_t size, ItemTimes times) {
    const auto self = shared_from_this();
    finishing_ = true;
    co_await drained(0);
    PhoneItem done;
    // Bytes past the end went, or some did not arrive: the phone's write starts over.
    if (failed_ != 0 || extent_ > size) failed_ = co_await begin();
    for (const auto& gap : sent_.missing({0, size})) {
        for (uint64_t at = gap.begin; at < gap.end && failed_ == 0; at += chunkSize) {
            co_await drained(kInFlight - 1);
            start({at, std::min(at + chunkSize, gap.end)});
        }
    }
    co_await drained(0);
    stopped_ = true;
    const auto identifier = identifierOf_();
    if (failed_ != 0 || !identifier) {
        done.error = failed_ != 0 ? failed_ : ENOENT;
        co_return done;
    }
    // The phone checked the version when this write began, which may be long ago: a change
    // made on the phone since must not be written over either.
    const PhoneItem now = co_await describeOnPhone(link_, *identifier, std::nullopt);
    if (now.error != 0 || now.summary.contentVersion != baseVersion_) {
        done.error = now.error != 0 ? now.error : ESTALE;
        co_return done;
    }
    Bytes commit = encodeJson(RelayCommitWriteRequest{*identifier});
    PhoneItem committed = co_await askForItem(link_, kCommitWrite, std::move(commit));
    done = co_await setTimesOnPhone(link_, *identifier, times, std::move(committed));
    co_return done;
}

} // namespace brimo::fs
