#include "shared/Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace brimo::log {
namespace {

std::mutex sinkMutex;
std::shared_ptr<Sink> currentSink;

std::shared_ptr<Sink> defaultSink() {
    if (const char* stream = std::getenv("JOURNAL_STREAM"); stream && *stream)
        return std::make_shared<JournaldSink>();
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
    // One write keeps lines from different threads whole.
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
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
    std::lock_guard lock(sinkMutex);
    currentSink = std::move(sink);
}

std::shared_ptr<Sink> sink() {
    std::lock_guard lock(sinkMutex);
    if (!currentSink) currentSink = defaultSink();
    return currentSink;
}

ScopedMemorySink::ScopedMemorySink()
    : memory_(std::make_shared<MemorySink>())
    , previous_(sink()) {
    setSink(memory_);
}

ScopedMemorySink::~ScopedMemorySink() {
    setSink(previous_);
}

void Logger::emit(Level level, std::string message) const {
    sink()->write(Record{level, subsystem_, category_, std::move(message)});
}

void Logger::log(Level level, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    std::string message = vformat(format, args);
    va_end(args);
    emit(level, std::move(message));
}

#define BRIMO_LOG_LEVEL(name)                                                                      \
    void Logger::name(const char* format, ...) const {                                             \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        std::string message = vformat(format, args);                                               \
        va_end(args);                                                                              \
        emit(Level::name, std::move(message));                                                     \
    }
BRIMO_LOG_LEVEL(debug)
BRIMO_LOG_LEVEL(info)
BRIMO_LOG_LEVEL(notice)
BRIMO_LOG_LEVEL(error)
BRIMO_LOG_LEVEL(fault)
#undef BRIMO_LOG_LEVEL

} // namespace brimo::log
