#include "shared/Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace brimo::log {
namespace {

// Threads that outlive main (a tunnel's receive thread, a blocked worker) may still log while
// exit handlers run, so the sink's state is never destroyed.
struct SinkState {
    std::mutex mutex;
    std::shared_ptr<Sink> current;
};
SinkState& state() {
    static auto* instance = new SinkState;
    return *instance;
}

bool stderrIsNullDevice() {
    struct stat err {
    }, null{};
    return ::fstat(STDERR_FILENO, &err) == 0 && ::stat("/dev/null", &null) == 0 &&
           S_ISCHR(err.st_mode) && err.st_rdev == null.st_rdev;
}

bool journaldListens() {
    return ::access("/run/systemd/journal/socket", W_OK) == 0;
}

// $XDG_STATE_HOME (absolute only) or ~/.local/state, then Ozm.Tarvel/<program>.log.
std::string stateLogPath() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        base = state;
    else if (const char* home = std::getenv("HOME"); home && *home == '/')
        base = std::string(home) + "/.local/state";
    else
        return {};
    return base + "/" + kSubsystem + "/" + program_invocation_short_name + ".log";
}

// A process whose stderr leads nowhere (a service started on demand) still keeps its log: in
// the journal when journald runs, else in a file of the user's state directory.
std::shared_ptr<Sink> defaultSink() {
    if (const char* stream = std::getenv("JOURNAL_STREAM"); stream && *stream)
        return std::make_shared<JournaldSink>();
    if (!stderrIsNullDevice()) return std::make_shared<StderrSink>();
    if (journaldListens()) return std::make_shared<JournaldSink>();
    if (auto file = FileSink::open(stateLogPath())) return file;
    return std::make_shared<StderrSink>();
}

int syslogPriority(Level level) {
    switch (level) {
    case Level::debug:
        return 7;
    case Level::info:
        return 6;
    case Level::notice:
        return 5;
    case Level::error:
        return 3;
    case Level::fault:
        return 2;
    }
    return 5;
}

// "level [subsystem:category] message", one write per line so that lines from different
// threads stay whole.
void writeLine(int fd, const Record& record) {
    std::string line;
    line.reserve(record.message.size() + 48);
    line.append(levelName(record.level))
        .append(" [")
        .append(record.subsystem)
        .append(":")
        .append(record.category)
        .append("] ")
        .append(record.message)
        .append("\n");
    [[maybe_unused]] auto written = ::write(fd, line.data(), line.size());
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0) return {};
    std::string text(static_cast<size_t>(size), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

} // namespace

const char* levelName(Level level) {
    switch (level) {
    case Level::debug:
        return "debug";
    case Level::info:
        return "info";
    case Level::notice:
        return "notice";
    case Level::error:
        return "error";
    case Level::fault:
        return "fault";
    }
    return "notice";
}

void StderrSink::write(const Record& record) {
    writeLine(STDERR_FILENO, record);
}

std::shared_ptr<FileSink> FileSink::open(const std::string& path) {
    if (path.empty()) return nullptr;
    std::error_code ignored;
    const auto directory = std::filesystem::path(path).parent_path();
    std::filesystem::create_directories(directory, ignored);
    ::chmod(directory.c_str(), 0700);
    // One generation is kept, so the file stays small however long the service runs.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && info.st_size > kMaxLogBytes)
        std::filesystem::rename(path, path + ".old", ignored);
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    return std::shared_ptr<FileSink>(new FileSink(fd));
}

FileSink::~FileSink() {
    ::close(fd_);
}

void FileSink::write(const Record& record) {
    writeLine(fd_, record);
}

void JournaldSink::write(const Record& record) {
    sd_journal_send("MESSAGE=%s", record.message.c_str(), "PRIORITY=%d",
                    syslogPriority(record.level), "SYSLOG_IDENTIFIER=%s",
                    program_invocation_short_name, "TARVEL_SUBSYSTEM=%s", record.subsystem.c_str(),
                    "TARVEL_CATEGORY=%s", record.category.c_str(), nullptr);
}

void MemorySink::write(const Record& record) {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
}

std::vector<Record> MemorySink::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> MemorySink::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(records_.size());
    for (const auto& record : records_)
        out.push_back(record.message);
    return out;
}

bool MemorySink::contains(std::string_view message) const {
    std::lock_guard lock(mutex_);
    for (const auto& record : records_)
        if (record.message == message) return true;
    return false;
}

void MemorySink::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

void setSink(std::shared_ptr<Sink> sink) {
    std::lock_guard lock(state().mutex);
    state().current = std::move(sink);
}

std::shared_ptr<Sink> sink() {
    std::lock_guard lock(state().mutex);
    if (!state().current) state().current = defaultSink();
    return state().current;
}

ScopedMemorySink::ScopedMemorySink()
    : memory_(std::make_shared<MemorySink>())
    , previous_(sink()) {
    setSink(memory_);
}

ScopedMemorySink::~ScopedMemorySink() {
    setSink(previous_);
}

void Logger::send(Level level, std::string message) const {
    sink()->write(Record{level, subsystem_, category_, std::move(message)});
}

void Logger::log(Level level, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    std::string message = vformat(format, args);
    va_end(args);
    send(level, std::move(message));
}

#define BRIMO_LOG_LEVEL(name)                                                                      \
    void Logger::name(const char* format, ...) const {                                             \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        std::string message = vformat(format, args);                                               \
        va_end(args);                                                                              \
        send(Level::name, std::move(message));                                                     \
    }
BRIMO_LOG_LEVEL(debug)
BRIMO_LOG_LEVEL(info)
BRIMO_LOG_LEVEL(notice)
BRIMO_LOG_LEVEL(error)
BRIMO_LOG_LEVEL(fault)
#undef BRIMO_LOG_LEVEL

} // namespace brimo::log
