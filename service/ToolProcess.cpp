#include "service/ToolProcess.h"
#include "shared/Offload.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <utility>

// This glibc's header declares the functions without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

extern char** environ;

namespace brimo {
namespace {

constexpr size_t kKeptErrorBytes = 64 * 1024;
constexpr size_t kReadSize = 16 * 1024;
// Reads per pipe after the exit (1 MiB): more than the pipe buffers hold, and bounded because a
// daemon left behind may keep writing.
constexpr int kDrainReads = 64;

asio::thread_pool& toolPool() {
    // Never destroyed: joining a thread that waits on a hanging tool would hold up the exit.
    static auto* pool = new asio::thread_pool(4);
    return *pool;
}

[[noreturn]] void throwErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd_(fd) {}
    Fd(Fd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

std::pair<Fd, Fd> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno(errno, "pipe2");
    return {Fd(fds[0]), Fd(fds[1])};
}

int decodeStatus(const siginfo_t& info) {
    return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

} // namespace

struct ToolProcess::Child {
    pid_t pid;
    Fd process; // pidfd; stays open until the last owner is gone, so signals never go astray
    Fd output;
    Fd error;
    // Exactly one of wait() and the destructor's background reaper collects the child.
    std::atomic<bool> claimed{false};

    // Blocks until the child has exited; reaps it and closes the pipes.
    ToolExit collect();

private:
    // Reads once from `pipe`; false at end of file (the pipe is then closed), on error, or when
    // nothing is there.
    bool readFrom(Fd& pipe, std::string& kept);
};

bool ToolProcess::Child::readFrom(Fd& pipe, std::string& kept) {
    char buffer[kReadSize];
    ssize_t n;
    do {
        n = ::read(pipe.get(), buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return false;
    if (n <= 0) {
        pipe.reset();
        return false;
    }
    if (&pipe == &error)
        kept.append(buffer, std::min(static_cast<size_t>(n), kKeptErrorBytes - kept.size()));
    return true;
}

ToolExit ToolProcess::Child::collect() {
    ToolExit result{-1, {}};
    // The pipes are read while waiting: a tool blocked on a full pipe would never exit.
    pollfd fds[3] = {{process.get(), POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
    for (;;) {
        fds[1].fd = output.get(); // -1 once closed, which poll skips
        fds[2].fd = error.get();
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            // Without the pipes a writing tool fails instead of blocking, so the wait still ends.
            output.reset();
            error.reset();
            break;
        }
        if (fds[1].revents != 0) readFrom(output, result.standardError);
        if (fds[2].revents != 0) readFrom(error, result.standardError);
        if (fds[0].revents != 0) break;
    }
    siginfo_t info{};
    int waited;
    do {
        waited = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(process.get()), &info,
                          WEXITED);
    } while (waited < 0 && errno == EINTR);
    if (waited == 0) result.status = decodeStatus(info);
    for (Fd* pipe : {&output, &error}) {
        if (pipe->get() < 0) continue;
        ::fcntl(pipe->get(), F_SETFL, O_NONBLOCK);
        for (int reads = 0; reads < kDrainReads && readFrom(*pipe, result.standardError); ++reads) {
        }
        pipe->reset();
    }
    return result;
}

ToolProcess::ToolProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    auto [outputRead, outputWrite] = makePipe();
    auto [errorRead, errorWrite] = makePipe();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorWrite.get(), STDERR_FILENO);
    // Descriptors of ours opened without close-on-exec (sockets of libraries) must not reach a
    // tool that may leave a daemon behind.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The tool starts with no blocked and no ignored signals, whatever the service set up.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int spawnError =
        ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) throwErrno(spawnError, executable.string());

    const int pidfd = ::pidfd_open(pid, 0);
    if (pidfd < 0) {
        const int openError = errno;
        // Not reaped yet, so the pid still names our child.
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        throwErrno(openError, "pidfd_open");
    }
    child_.reset(new Child{pid, Fd(pidfd), std::move(outputRead), std::move(errorRead)});
}

ToolProcess::~ToolProcess() {
    if (!child_->claimed.exchange(true))
        asio::post(toolPool(), [child = std::move(child_)] { child->collect(); });
}

pid_t ToolProcess::pid() const {
    return child_->pid;
}

asio::awaitable<ToolExit> ToolProcess::wait() {
    return collect(child_);
}

asio::awaitable<ToolExit> ToolProcess::collect(std::shared_ptr<Child> child) {
    if (child->claimed.exchange(true)) throw std::logic_error("tool process waited for twice");
    auto work = [child] { return child->collect(); };
    co_return co_await offloadTo(toolPool(), std::move(work));
}

void ToolProcess::terminate() {
    ::pidfd_send_signal(child_->process.get(), SIGTERM, nullptr, 0);
}

} // namespace brimo
