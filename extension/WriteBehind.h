#pragma once

#include "extension/ContentStore.h"
#include "extension/PhoneLink.h"
#include "extension/PhonePush.h"
#include "shared/LoopEvent.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace brimo::fs {

// Sends a file that a program writes to the phone while it writes, so that its save waits only
// for the tail: once a whole chunk of bytes lies written in a row, it opens the phone's write of
// the item (expecting the version the file started from, as any save) and sends that chunk. A
// chunk written again after it went goes again before the commit, and the commit sends whatever
// of the file has not gone yet: the phone gets the whole file, as with any save. Loop thread only.
class WriteBehind : public std::enable_shared_from_this<WriteBehind> {
public:
    using IdentifierOf = std::function<std::optional<std::string>()>;

    WriteBehind(asio::any_io_executor loop, PhoneLink& link, std::shared_ptr<ContentFile> content,
                Bytes baseVersion, IdentifierOf identifierOf);

    // A program wrote `range` of the content.
    void written(ByteRange range);
    // The content was cut to `size` bytes: what lay past it must not stay on the phone.
    void truncated(uint64_t size);
    // Whether bytes went to the phone already, so that the save must go this way.
    bool started() const { return started_; }
    // Sends what has not gone of the content's `size` bytes, all of which are here, commits and
    // sets `times`; the item as the phone has it then, or an error. Ends this write: the next
    // needs a new WriteBehind.
    asio::awaitable<PhoneItem> finish(uint64_t size, ItemTimes times);
    // Nothing more goes; what went is dropped with the phone's uncommitted write.
    void stop() { stopped_ = true; }

private:
    void pump();
    void start(ByteRange range);
    asio::awaitable<int> begin();
    asio::awaitable<int> send(ByteRange range);
    // Until at most `most` sends are on their way.
    asio::awaitable<void> drained(int most);

    asio::any_io_executor loop_;
    PhoneLink& link_;
    std::shared_ptr<ContentFile> content_;
    const Bytes baseVersion_;
    IdentifierOf identifierOf_;

    RangeSet waiting_;    // written and not sent since
    RangeSet sent_;       // sent as it is now
    uint64_t extent_ = 0; // how far the phone's write reaches
    bool started_ = false;
    bool beginning_ = false;
    bool finishing_ = false;
    bool stopped_ = false;
    int failed_ = 0; // a send failed: the commit sends the file afresh
    int inFlight_ = 0;
    LoopEvent sendEnded_;
};

} // namespace brimo::fs
