#include "extension/SaveKeeper.h"

#include "extension/Identifiers.h"
#include "extension/PhonePush.h"
#include "shared/Log.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <sys/stat.h>

namespace brimo::fs {

namespace {

constexpr log::Logger keepLog{log::kSubsystem, "Extension"};
constexpr std::chrono::seconds kFirstRetry{5};
constexpr std::chrono::seconds kLongestRetry{60};
constexpr int kNameAttempts = 100;
constexpr size_t kLongestName = 255;

// The phone does not answer at all: nothing else will get through now either.
bool phoneAway(int error) {
    return error == ENODEV || error == EIO || error == ETIMEDOUT || error == ENOTCONN;
}

// At most `bytes` bytes of `text`, not cutting a UTF-8 sequence.
std::string prefix(const std::string& text, size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80)
        --bytes;
    return text.substr(0, bytes);
}

} // namespace

SaveKeeper::SaveKeeper(asio::io_context& loop, PhoneLink& link, ContentStore& store, Hooks hooks)
    : loop_(loop)
    , link_(link)
    , store_(store)
    , hooks_(std::move(hooks))
    , records_(KeptSaves::folder())
    , timer_(loop)
    , delay_(kFirstRetry) {}

std::string SaveKeeper::conflictName(const std::string& filename, int64_t keptAt, int attempt) {
    const size_t dot = filename.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 && dot + 1 < filename.size();
    const std::string extension = hasExtension ? filename.substr(dot) : "";
    const std::string stem = hasExtension ? filename.substr(0, dot) : filename;
    const time_t when = time_t(keptAt);
    struct tm local {};
    ::localtime_r(&when, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H%M%S", &local);
    std::string mark = " (conflict copy ";
    mark += date;
    if (attempt > 1) {
        mark += ' ';
        mark += std::to_string(attempt);
    }
    mark += ")";
    const size_t room = kLongestName - std::min(kLongestName, mark.size() + extension.size());
    return prefix(stem, room) + mark + extension;
}

void SaveKeeper::retrySoon() {
    delay_ = kFirstRetry;
    timer_.cancel();
    if (running_)
        again_ = true;
    else
        startPass();
}

void SaveKeeper::startPass() {
    running_ = true;
    asio::co_spawn(loop_, [this]() -> asio::awaitable<void> { co_await pass(); }, asio::detached);
}

// While anything waits, even what open files hold now: they may close without a save of their
// own.
void SaveKeeper::scheduleRetry() {
    if (records_.list().empty()) return;
    timer_.expires_after(delay_);
    delay_ = std::min(delay_ * 2, kLongestRetry);
    timer_.async_wait([this](const std::error_code& error) {
        if (!error && !running_) startPass();
    });
}

void SaveKeeper::renamed(const std::string& from, const std::string& to) {
    for (KeptSave save : records_.list()) {
        if (!isWithin(save.identifier, from)) continue;
        save.identifier = to + save.identifier.substr(from.size());
        records_.write(save, false);
    }
}

asio::awaitable<void> SaveKeeper::pass() {
    do {
        again_ = false;
        const auto saves = records_.list();
        // The newest save of an item goes over it; older ones can only go beside it.
        std::set<std::string> newestSeen;
        for (auto save = saves.rbegin(); save != saves.rend(); ++save) {
            const bool newest = newestSeen.insert(save->identifier).second;
            if (hooks_.busy(*save)) continue;
            const bool over = newest && save->saveAsked && !save->conflictCopy;
            int error; // not a conditional expression: GCC 12 runs a co_await of either arm
            if (over)
                error = co_await sendOver(*save);
            else
                error = co_await putBeside(*save);
            if (error == 0) continue;
            failed(*save, error);
            if (phoneAway(error)) break;
        }
    } while (again_);
    running_ = false;
    scheduleRetry();
}

asio::awaitable<int> SaveKeeper::sendOver(KeptSave save) {
    int error = co_await send(save, save.identifier, save.baseVersion);
    if (error == 0) {
        settled(save, save.identifier, "reached the phone");
    } else if (error == ESTALE || error == ENOENT) {
        // Changed or gone on the phone since: the kept bytes go beside it.
        error = co_await putBeside(std::move(save));
    }
    co_return error;
}

asio::awaitable<int> SaveKeeper::putBeside(KeptSave save) {
    struct stat data {};
    if (!save.saveAsked && ::stat(records_.dataPath(save.id).c_str(), &data) == 0 &&
        data.st_size == 0) {
        // Opened for writing, emptied, and the drive went before anything was written.
        keepLog.info("dropped the kept save of %s: nothing was written", save.identifier.c_str());
        records_.remove(save.id);
        co_return 0;
    }
    Bytes expected;
    if (save.conflictCopy) {
        // Made on an earlier try: fill it unless somebody changed it meanwhile.
        PhoneItem copy = co_await describeOnPhone(link_, *save.conflictCopy, std::nullopt);
        if (copy.error == 0 && copy.summary.size == 0)
            expected = copy.summary.contentVersion;
        else if (copy.error == 0 || copy.error == ENOENT)
            save.conflictCopy.reset();
        else
            co_return copy.error;
    }
    if (!save.conflictCopy) {
        std::string parent = parentIdentifier(save.identifier);
        PhoneItem folder = co_await describeOnPhone(link_, parent, std::nullopt);
        if (folder.error == ENOENT || (folder.error == 0 && !folder.summary.isDirectory))
            parent.clear(); // the folder went too: at the top of the storage
        else if (folder.error != 0)
            co_return folder.error;
        for (int attempt = 1; attempt <= kNameAttempts && !save.conflictCopy; ++attempt) {
            const std::string name = conflictName(nameOf(save.identifier), save.keptAt, attempt);
            PhoneItem made = co_await createOnPhone(link_, parent, name, false, 0644);
            if (made.error == EEXIST) continue;
            if (made.error != 0) co_return made.error;
            save.conflictCopy = made.summary.identifier;
            expected = made.summary.contentVersion;
        }
        if (!save.conflictCopy) co_return EEXIST;
        records_.write(save, false);
    }
    const std::string copy = *save.conflictCopy;
    const int error = co_await send(save, copy, std::move(expected));
    if (error == 0) settled(save, copy, "was saved beside it as");
    co_return error;
}

asio::awaitable<int> SaveKeeper::send(const KeptSave& save, const std::string& identifier,
                                      Bytes expected) {
    const auto data = records_.dataPath(save.id);
    struct stat st {};
    auto source = ::stat(data.c_str(), &st) == 0 ? store_.linkForPush(data) : std::nullopt;
    if (!source) co_return EIO;
    PhoneItem pushed =
        co_await pushToPhone(link_, identifier, std::move(expected), *source, uint64_t(st.st_size),
                             ItemTimes{save.accessTime, save.modifyTime});
    co_return pushed.error;
}

void SaveKeeper::settled(const KeptSave& save, const std::string& identifier, const char* how) {
    if (identifier == save.identifier)
        keepLog.info("the kept save of %s %s", save.identifier.c_str(), how);
    else
        keepLog.info("the kept save of %s %s %s", save.identifier.c_str(), how, identifier.c_str());
    records_.remove(save.id);
    lastError_.erase(save.id);
    hooks_.changed(identifier);
}

void SaveKeeper::failed(const KeptSave& save, int error) {
    auto [last, isNew] = lastError_.try_emplace(save.id, error);
    if (!isNew && last->second == error) return;
    last->second = error;
    keepLog.info("the kept save of %s still waits: %s", save.identifier.c_str(),
                 std::strerror(error));
}

} // namespace brimo::fs
