#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace brimo::test {

namespace {

int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

pid_t spawnChild(const std::vector<std::string>& argv, int stdoutFd, int stderrFd) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
    // Libraries under test open sockets without close-on-exec; none of them may leak into
    // the child, where they would keep connections alive.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return decodeStatus(status);
}

int stopChild(pid_t pid, std::chrono::milliseconds grace) {
    ::kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return decodeStatus(status);
        if (done < 0 && errno != EINTR) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    return waitChild(pid);
}

ChildResult runChild(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = -1;
    try {
        pid = spawnChild(argv, fds[1], devNull);
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        ::close(devNull);
        throw;
    }
    ::close(fds[1]);
    ::close(devNull);
    ChildResult result{0, {}};
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    result.exitCode = waitChild(pid);
    return result;
}

} // namespace brimo::test
