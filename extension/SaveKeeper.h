#pragma once

#include "extension/ContentStore.h"
#include "extension/PhoneLink.h"
#include "shared/messages/KeptSaves.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace brimo::fs {

// Sends the kept saves that no open file holds any more to the phone, once it answers: over the
// item when the phone still holds the content they were written over, otherwise (or for bytes a
// program never asked to save) as a new item beside it whose name says it is a conflict copy.
// Nothing is removed before the phone has it. Tries again at growing intervals while anything
// waits, and at once when told the phone is back. Loop thread only.
class SaveKeeper {
public:
    struct Hooks {
        // An open file holds the save, or has its item open: its own saves go first.
        std::function<bool(const KeptSave& save)> busy;
        std::function<void(const std::string& identifier)> changed; // the phone's item changed
    };

    // Throws std::runtime_error when the folder of kept saves cannot be used.
    SaveKeeper(asio::io_context& loop, PhoneLink& link, ContentStore& store, Hooks hooks);

    const KeptSaves& records() const { return records_; }
    // Tries now, and again later while anything waits.
    void retrySoon();
    // Kept saves of `from` and beneath it follow a rename through the drive.
    void renamed(const std::string& from, const std::string& to);

    // "<stem> (conflict copy <date>[ n])<extension>", at most 255 bytes.
    static std::string conflictName(const std::string& filename, int64_t keptAt, int attempt);

private:
    void startPass();
    asio::awaitable<void> pass();
    asio::awaitable<int> sendOver(KeptSave save);
    asio::awaitable<int> putBeside(KeptSave save);
    asio::awaitable<int> send(const KeptSave& save, const std::string& identifier, Bytes expected);
    void settled(const KeptSave& save, const std::string& identifier, const char* how);
    void failed(const KeptSave& save, int error);
    void scheduleRetry();

    asio::io_context& loop_;
    PhoneLink& link_;
    ContentStore& store_;
    Hooks hooks_;
    KeptSaves records_;
    asio::steady_timer timer_;
    std::chrono::seconds delay_;
    bool running_ = false;
    bool again_ = false;
    std::map<std::string, int> lastError_; // per record, so that a retry logs only news
};

} // namespace brimo::fs
