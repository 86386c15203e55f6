#pragma once

#include "extension/ContentStore.h"
#include "extension/PhoneLink.h"
#include "shared/LoopEvent.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brimo::fs {

// Brings the phone's bytes of one open file into its content file, range by range, as programs
// ask for them: what a read waits for first, then what a sequential reader will ask for next,
// then, when asked, everything else. It asks the phone for read chunks itself, through the
// relay, a few at a time, and keeps the bytes of a chunk only once a lookup made after the chunk
// came back still finds the version the file was opened at: a file that changed on the phone
// meanwhile fails its reads of what is not here yet instead of mixing two versions.
// Loop thread only.
class ContentFetcher : public std::enable_shared_from_this<ContentFetcher> {
public:
    using IdentifierOf = std::function<std::optional<std::string>()>;
    using Done = std::function<void(int error)>;

    ContentFetcher(asio::any_io_executor loop, PhoneLink& link,
                   std::shared_ptr<ContentFile> content, Bytes version, IdentifierOf identifierOf);

    // Calls `done` with 0 once `range` is here, or with the errno its fetch failed with; the
    // ticket withdraws the wish.
    uint64_t want(ByteRange range, Done done);
    void withdraw(uint64_t ticket);
    // A program read `range`: a reader that goes on where it left off gets what follows early.
    void readAt(ByteRange range);
    // Waits until every byte still needed is here; 0 or an errno.
    asio::awaitable<int> fetchAll();
    // Around a change of the item's times made through the drive, which gives the same bytes a
    // new version: chunks confirmed meanwhile wait for it. `renamed` (old version, new version)
    // says what it did; the new version counts as the file's if the old one was.
    void ownChangeBegins() { ++ownChanges_; }
    void ownChangeEnded(const std::optional<std::pair<Bytes, Bytes>>& renamed);
    // The content changed here (truncated): waiters may have all they need.
    void recheck();
    // No more fetching: the file is closed or its content replaced. Waiters get `error`.
    void stop(int error);

    // Since when the version the file was opened at is no longer the phone's; 0 while it is.
    int broken() const { return broken_; }

private:
    struct Waiter {
        uint64_t ticket;
        ByteRange range;
        Done done;
    };
    struct Stream {
        uint64_t start = 0; // where the reader began to read in a row
        uint64_t next = 0;  // where the reader is expected to read next
        uint64_t ahead = 0; // how far past it to fetch
    };
    struct Asked {
        ByteRange chunk;
        std::chrono::steady_clock::time_point sent;
    };
    struct Arrived {
        ByteRange chunk; // as asked for
        Bytes payload;   // the phone's answer
        uint64_t serial;
    };

    void pump();
    // Forgets requests the phone seems to have dropped, so that what waits on them is asked for
    // again.
    void giveUpOverdue();
    // Checks again when the oldest request would be overdue.
    void watchOverdue();
    std::optional<ByteRange> nextChunk() const;
    std::optional<ByteRange> firstGap(ByteRange range, uint64_t least) const;
    asio::awaitable<void> fetch(uint64_t id, ByteRange chunk);
    asio::awaitable<void> confirm();
    void failed(ByteRange range, int error);
    void settle();

    asio::any_io_executor loop_;
    PhoneLink& link_;
    std::shared_ptr<ContentFile> content_;
    std::vector<Bytes> versions_; // the one opened, then those our own changes of times made
    int ownChanges_ = 0;
    IdentifierOf identifierOf_;

    std::list<Waiter> waiters_;
    uint64_t nextTicket_ = 1;
    std::vector<Stream> streams_;
    int wholeWanted_ = 0; // fetchAll calls waiting
    RangeSet asked_;      // asked for and not here yet
    std::map<uint64_t, Asked> inFlight_;
    uint64_t nextAsk_ = 1;
    std::chrono::steady_clock::duration patience_;
    asio::steady_timer overdue_;
    LoopEvent ownChangeDone_;
    std::vector<Arrived> arrived_; // waiting for a lookup to confirm them
    uint64_t arrivals_ = 0;
    bool confirming_ = false;
    int broken_ = 0;
    bool stopped_ = false;
};

} // namespace brimo::fs
