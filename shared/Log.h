#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The system log: every component logs through a Logger bound to a subsystem and category.
// Where the lines go is decided once per process by the installed sink: journald when the
// process runs under systemd, plain lines on stderr otherwise, or memory in tests.
namespace brimo::log {

enum class Level { debug, info, notice, error, fault };

const char* levelName(Level level);

struct Record {
    Level level;
    std::string subsystem;
    std::string category;
    std::string message;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

// "level [subsystem:category] message", one write per line.
class StderrSink : public Sink {
public:
    void write(const Record& record) override;
};

// Lines as on stderr, appended to a private file (mode 0600, its folder 0700).
class FileSink : public Sink {
public:
    static constexpr long kMaxLogBytes = 4L << 20;
    // None when the file cannot be opened; a file over kMaxLogBytes is first moved to ".old".
    static std::shared_ptr<FileSink> open(const std::string& path);
    ~FileSink() override;
    void write(const Record& record) override;

private:
    explicit FileSink(int fd)
        : fd_(fd) {}
    int fd_;
};

// Structured fields SYSLOG_IDENTIFIER, TARVEL_SUBSYSTEM, TARVEL_CATEGORY, PRIORITY, MESSAGE.
class JournaldSink : public Sink {
public:
    void write(const Record& record) override;
};

class MemorySink : public Sink {
public:
    void write(const Record& record) override;
    std::vector<Record> records() const;
    std::vector<std::string> messages() const;
    bool contains(std::string_view message) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

// The process-wide sink. The default is journald when stderr is connected to the journal
// (JOURNAL_STREAM), stderr when it leads anywhere but the null device, and otherwise journald
// when it runs, else the file $XDG_STATE_HOME/Ozm.Tarvel/<program>.log.
void setSink(std::shared_ptr<Sink> sink);
std::shared_ptr<Sink> sink();

// Installs a memory sink for the lifetime of the object and restores the previous one.
class ScopedMemorySink {
public:
    ScopedMemorySink();
    ~ScopedMemorySink();
    ScopedMemorySink(const ScopedMemorySink&) = delete;
    ScopedMemorySink& operator=(const ScopedMemorySink&) = delete;
    MemorySink& operator*() const { return *memory_; }
    MemorySink* operator->() const { return memory_.get(); }

private:
    std::shared_ptr<MemorySink> memory_;
    std::shared_ptr<Sink> previous_;
};

class Logger {
public:
    constexpr Logger(const char* subsystem, const char* category)
        : subsystem_(subsystem)
        , category_(category) {}

    void log(Level level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void debug(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void info(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void notice(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void error(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    void fault(const char* format, ...) const __attribute__((format(printf, 2, 3)));

private:
    void send(Level level, std::string message) const;

    const char* subsystem_;
    const char* category_;
};

inline constexpr const char* kSubsystem = "Ozm.Tarvel";
inline constexpr Logger xpcLog{kSubsystem, "XPC"};
inline constexpr Logger usbMuxNativeLog{kSubsystem, "UsbMuxNative"};
inline constexpr Logger appLog{kSubsystem, "App"};

} // namespace brimo::log
