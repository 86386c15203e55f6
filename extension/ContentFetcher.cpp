#include "extension/ContentFetcher.h"

#include "extension/FileSystemErrors.h"
#include "extension/PhonePush.h"
#include "shared/Offload.h"
#include "shared/messages/ChunkMessages.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>

namespace brimo::fs {

namespace {

constexpr uint16_t kReadChunk = 9;
// Chunks on their way at once: enough that the link never waits while answers cross to us and
// are written here; more would only make a reader that jumps wait longer behind them.
constexpr int kInFlight = 3;
// Chunks held until a lookup confirms them.
constexpr size_t kMostArrived = 6;
// The least asked for where a program waits: a thumbnailer's header, a seek's landing.
constexpr uint64_t kLeast = 128 * 1024;
// Read-ahead of a sequential reader: as far ahead as it has read in a row, once that is more
// than a header (a thumbnailer reads no further), and at most this far.
constexpr uint64_t kFirstAhead = 512 * 1024;
constexpr uint64_t kMostAhead = 16 * 1024 * 1024;
// A read this close to where a reader left off continues it: the kernel's threads hand reads
// over slightly out of order.
constexpr uint64_t kSlack = 1024 * 1024;
constexpr size_t kStreams = 4;
// How long an answer may take before its request counts as lost, at first: far more than a
// chunk needs on the slowest link. A slower phone makes the fetcher more patient.
constexpr std::chrono::steady_clock::duration kFirstPatience = std::chrono::seconds(2);
constexpr std::chrono::steady_clock::duration kMostPatience = std::chrono::seconds(60);

} // namespace

ContentFetcher::ContentFetcher(asio::any_io_executor loop, PhoneLink& link,
                               std::shared_ptr<ContentFile> content, Bytes version,
                               IdentifierOf identifierOf)
    : loop_(std::move(loop))
    , link_(link)
    , content_(std::move(content))
    , versions_{std::move(version)}
    , identifierOf_(std::move(identifierOf))
    , patience_(kFirstPatience)
    , overdue_(loop_)
    , ownChangeDone_(loop_) {}

void ContentFetcher::ownChangeEnded(const std::optional<std::pair<Bytes, Bytes>>& renamed) {
    if (ownChanges_ > 0) --ownChanges_;
    if (renamed && std::find(versions_.begin(), versions_.end(), renamed->first) != versions_.end())
        versions_.push_back(renamed->second);
    ownChangeDone_.set();
}

uint64_t ContentFetcher::want(ByteRange range, Done done) {
    if (content_->missing(range).empty()) {
        done(0);
        return 0;
    }
    if (broken_ || stopped_) {
        done(broken_ ? broken_ : EIO);
        return 0;
    }
    const uint64_t ticket = nextTicket_++;
    waiters_.push_back({ticket, range, std::move(done)});
    pump();
    return ticket;
}

void ContentFetcher::withdraw(uint64_t ticket) {
    std::erase_if(waiters_, [&](const Waiter& waiter) { return waiter.ticket == ticket; });
}

void ContentFetcher::readAt(ByteRange range) {
    for (auto& stream : streams_) {
        if (range.begin + kSlack < stream.next || range.begin > stream.next + kSlack) continue;
        stream.next = std::max(stream.next, range.end);
        const uint64_t inARow = stream.next - stream.start;
        stream.ahead = inARow < kFirstAhead ? 0 : std::min(inARow, kMostAhead);
        pump();
        return;
    }
    if (streams_.size() == kStreams) streams_.erase(streams_.begin());
    streams_.push_back({range.begin, range.end, 0});
}

asio::awaitable<int> ContentFetcher::fetchAll() {
    struct Wait {
        explicit Wait(const asio::any_io_executor& loop)
            : done(loop) {}
        LoopEvent done;
        std::optional<int> result;
    };
    auto wait = std::make_shared<Wait>(loop_);
    ++wholeWanted_;
    const uint64_t ticket = want({0, content_->phoneBytes()}, [wait](int error) {
        wait->result = error;
        wait->done.set();
    });
    co_await wait->done.wait();
    --wholeWanted_;
    if (!wait->result) withdraw(ticket); // woken by the loop going away
    co_return wait->result.value_or(EIO);
}

void ContentFetcher::stop(int error) {
    stopped_ = true;
    overdue_.cancel();
    ownChangeDone_.set();
    streams_.clear();
    arrived_.clear();
    auto waiting = std::move(waiters_);
    waiters_.clear();
    for (auto& waiter : waiting)
        waiter.done(error);
}

void ContentFetcher::pump() {
    if (stopped_ || broken_) return;
    giveUpOverdue();
    while (inFlight_.size() < kInFlight && arrived_.size() + inFlight_.size() < kMostArrived) {
        const auto chunk = nextChunk();
        if (!chunk) break;
        asked_.add(*chunk);
        const uint64_t id = nextAsk_++;
        inFlight_.emplace(id, Asked{*chunk, std::chrono::steady_clock::now()});
        asio::co_spawn(loop_, fetch(id, *chunk), asio::detached);
    }
    watchOverdue();
}

// A phone may drop a request and answer the next (a relay retried on a new tunnel, a program
// on the phone restarted): the readers of a dropped chunk then need not wait for its time-out.
void ContentFetcher::giveUpOverdue() {
    const auto now = std::chrono::steady_clock::now();
    bool gaveUp = false;
    for (auto ask = inFlight_.begin(); ask != inFlight_.end();) {
        if (now - ask->second.sent < patience_) {
            ++ask;
            continue;
        }
        asked_.remove(ask->second.chunk);
        ask = inFlight_.erase(ask); // its answer, if it comes, is not waited for
        gaveUp = true;
    }
    if (gaveUp) patience_ = std::min(patience_ * 2, kMostPatience);
}

void ContentFetcher::watchOverdue() {
    if (inFlight_.empty() || waiters_.empty()) return;
    auto oldest = inFlight_.begin()->second.sent;
    for (const auto& [id, ask] : inFlight_)
        oldest = std::min(oldest, ask.sent);
    overdue_.expires_at(oldest + patience_);
    overdue_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
        if (auto self = weak.lock(); self && !error) self->pump();
    });
}

// What programs wait for comes first, oldest wait first; then the read-ahead; then the rest.
std::optional<ByteRange> ContentFetcher::nextChunk() const {
    for (const auto& waiter : waiters_)
        if (auto chunk = firstGap(waiter.range, kLeast)) return chunk;
    for (const auto& stream : streams_)
        if (stream.ahead > 0)
            if (auto chunk = firstGap({stream.next, stream.next + stream.ahead}, stream.ahead))
                return chunk;
    if (wholeWanted_ > 0) return firstGap({0, content_->phoneBytes()}, chunkSize);
    return std::nullopt;
}

// The first bytes of `range` neither here nor asked for, as one chunk of at least `least` bytes
// where as many lie missing in a row, and at most a whole chunk.
std::optional<ByteRange> ContentFetcher::firstGap(ByteRange range, uint64_t least) const {
    for (const auto& gap : content_->missing(range)) {
        const auto unasked = asked_.missing(gap);
        if (unasked.empty()) continue;
        const uint64_t begin = unasked.front().begin;
        const uint64_t limit = std::min(begin + chunkSize, content_->phoneBytes());
        const auto run = content_->missing({begin, limit});
        const auto free = asked_.missing(run.front());
        const uint64_t end = std::max(unasked.front().end, begin + least);
        return ByteRange{begin, std::min(end, free.front().end)};
    }
    return std::nullopt;
}

asio::awaitable<void> ContentFetcher::fetch(uint64_t id, ByteRange chunk) {
    const auto self = shared_from_this();
    const auto identifier = identifierOf_();
    std::optional<Bytes> request;
    if (identifier)
        request = encodeReadChunkRequest(*identifier, chunk.begin, uint32_t(chunk.size()));
    CallOutcome outcome = linkFailure(identifier ? ENAMETOOLONG : ENOENT);
    if (request) outcome = co_await link_.relay(kReadChunk, std::move(*request));
    const auto ask = inFlight_.find(id);
    if (stopped_ || ask == inFlight_.end()) co_return;
    const auto took = std::chrono::steady_clock::now() - ask->second.sent;
    inFlight_.erase(ask);
    int error = relayErrno(outcome);
    if (error == 0 && !decodeReadChunkView(outcome.data)) error = EIO;
    if (error != 0) {
        failed(chunk, error);
    } else {
        patience_ = std::clamp(took * 4, kFirstPatience, kMostPatience);
        arrived_.push_back({chunk, std::move(outcome.data), ++arrivals_});
        if (!confirming_) asio::co_spawn(loop_, confirm(), asio::detached);
    }
    pump();
}

// Chunks are kept once a lookup sent after they came back finds the version still there: the
// phone read them between two lookups that both saw it.
asio::awaitable<void> ContentFetcher::confirm() {
    const auto self = shared_from_this();
    confirming_ = true;
    while (!arrived_.empty() && !stopped_ && !broken_) {
        const uint64_t upTo = arrivals_;
        const auto identifier = identifierOf_();
        PhoneItem now;
        now.error = ENOENT;
        if (identifier) now = co_await describeOnPhone(link_, *identifier, std::nullopt);
        if (stopped_) break;
        const auto known = [&](const Bytes& version) {
            return std::find(versions_.begin(), versions_.end(), version) != versions_.end();
        };
        if (now.error == 0 && !known(now.summary.contentVersion) && ownChanges_ > 0) {
            // Perhaps our own change of times: ask again once it has ended.
            while (ownChanges_ > 0 && !stopped_) {
                ownChangeDone_.reset();
                co_await ownChangeDone_.wait();
            }
            continue;
        }
        const auto first =
            std::partition_point(arrived_.begin(), arrived_.end(),
                                 [&](const Arrived& one) { return one.serial <= upTo; });
        std::vector<Arrived> confirmed(std::make_move_iterator(arrived_.begin()),
                                       std::make_move_iterator(first));
        arrived_.erase(arrived_.begin(), first);
        if (now.error == 0 && !known(now.summary.contentVersion)) {
            broken_ = EIO;
            stop(EIO);
            break;
        }
        std::vector<int> errors(confirmed.size(), now.error);
        for (size_t i = 0; i < confirmed.size(); ++i) {
            const auto& one = confirmed[i];
            const auto view = decodeReadChunkView(one.payload);
            // Fewer bytes than the phone had when the file was opened: not the same file.
            if (errors[i] == 0 && view->eof &&
                one.chunk.begin + view->data.size() < one.chunk.end &&
                one.chunk.begin + view->data.size() < content_->phoneBytes()) {
                broken_ = errors[i] = EIO;
            }
            if (errors[i] == 0 && view->data.empty() && !view->eof) errors[i] = EIO;
        }
        // Copying into the page cache can take longer than the link, on fresh memory: the loop
        // goes on meanwhile, taking the next answers in.
        auto fill = [content = content_, &confirmed, &errors] {
            for (size_t i = 0; i < confirmed.size(); ++i)
                if (errors[i] == 0)
                    errors[i] = content->fill(confirmed[i].chunk.begin,
                                              decodeReadChunkView(confirmed[i].payload)->data);
        };
        if (!broken_) co_await offload(std::move(fill));
        if (stopped_) break;
        for (size_t i = 0; i < confirmed.size(); ++i) {
            if (errors[i] != 0) failed(confirmed[i].chunk, errors[i]);
            asked_.remove(confirmed[i].chunk); // what did not come is asked for again
        }
        if (broken_) {
            stop(broken_);
            break;
        }
        settle();
        pump();
    }
    confirming_ = false;
}

void ContentFetcher::failed(ByteRange range, int error) {
    asked_.remove(range);
    streams_.clear(); // read ahead again once a program reads again
    std::vector<Done> failing;
    std::erase_if(waiters_, [&](Waiter& waiter) {
        const bool hit = waiter.range.begin < range.end && range.begin < waiter.range.end;
        if (hit) failing.push_back(std::move(waiter.done));
        return hit;
    });
    for (auto& done : failing)
        done(error);
}

void ContentFetcher::recheck() {
    settle();
    pump();
}

void ContentFetcher::settle() {
    std::vector<Done> ready;
    std::erase_if(waiters_, [&](Waiter& waiter) {
        const bool here = content_->missing(waiter.range).empty();
        if (here) ready.push_back(std::move(waiter.done));
        return here;
    });
    for (auto& done : ready)
        done(0);
}

} // namespace brimo::fs
