#include "tests/support/SimProcess.h"

#include "peers/phone-sim/ControlClient.h"
#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace brimo::test {

namespace {

constexpr const char* kVariable = "USBMUXD_SOCKET_ADDRESS";
constexpr std::string_view kReadyLine = "brimo-phone-sim: ready\n";
constexpr auto kStartLimit = std::chrono::seconds(10);

// Reads the child's stdout until the ready line, end of file or the deadline.
bool waitForReady(int fd) {
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (output.find(kReadyLine) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        output.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

} // namespace

SimProcess::SimProcess(Options options)
    : options_(std::move(options)) {
    char pattern[] = "/tmp/brimo-sim-XXXXXX";
    if (!::mkdtemp(pattern)) throw std::runtime_error("cannot create a temporary directory");
    tempDir_ = pattern;
    socketPath_ = tempDir_ + "/usbmuxd";
    try {
        start();
    } catch (...) {
        std::filesystem::remove_all(tempDir_);
        throw;
    }
}

SimProcess::~SimProcess() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(tempDir_, ignored);
}

void SimProcess::start() {
    if (pid_ > 0) throw std::logic_error("simulator already running");
    std::vector<std::string> argv{BRIMO_PHONE_SIM_PATH, "--socket", socketPath_};
    for (const std::string& udid : options_.devices)
        argv.insert(argv.end(), {"--device", udid});
    if (!options_.linkRate.empty()) argv.insert(argv.end(), {"--link-rate", options_.linkRate});
    if (!options_.root.empty()) argv.insert(argv.end(), {"--root", options_.root});

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    try {
        pid_ = spawnChild(argv, fds[1]);
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);
    bool ready = waitForReady(fds[0]);
    // The simulator writes nothing else to stdout, and it ignores SIGPIPE.
    ::close(fds[0]);
    if (!ready) {
        stop();
        throw std::runtime_error("brimo-phone-sim did not become ready at " + socketPath_);
    }
}

void SimProcess::stop() {
    if (pid_ <= 0) return;
    lastExitCode_ = stopChild(pid_);
    pid_ = -1;
}

bool SimProcess::running() const {
    if (pid_ <= 0) return false;
    siginfo_t info{};
    // WNOWAIT leaves an exited child for stop() to reap.
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

std::string SimProcess::control(const std::string& command) {
    return sim::sendControlCommand(controlPath(), command);
}

UsbmuxdAddressGuard::UsbmuxdAddressGuard(const std::string& value) {
    if (const char* previous = std::getenv(kVariable)) {
        hadPrevious_ = true;
        previous_ = previous;
    }
    ::setenv(kVariable, value.c_str(), 1);
}

UsbmuxdAddressGuard::~UsbmuxdAddressGuard() {
    if (hadPrevious_)
        ::setenv(kVariable, previous_.c_str(), 1);
    else
        ::unsetenv(kVariable);
}

} // namespace brimo::test
