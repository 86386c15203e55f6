#include "tests/support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

PipedChild spawnPiped(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
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
    return {pid, fds[0]};
}

ChildResult runChild(const std::vector<std::string>& argv) {
    const PipedChild child = spawnPiped(argv);
    ChildResult result{0, {}};
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(child.output, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(child.output);
    result.exitCode = waitChild(child.pid);
    return result;
}

std::vector<pid_t> processesWith(const std::string& executable, const std::string& variable) {
    namespace fs = std::filesystem;
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        if (pid == ::getpid()) continue;
        if (!executable.empty() &&
            fs::read_symlink(entry.path() / "exe", ec).filename() != executable)
            continue;
        std::ifstream file(entry.path() / "environ");
        const std::string environ{std::istreambuf_iterator<char>(file), {}};
        if (('\0' + environ).find('\0' + variable + '\0') != std::string::npos)
            found.push_back(pid);
    }
    return found;
}

void killProcessesWith(const std::string& executable, const std::string& variable) {
    const std::vector<pid_t> found = processesWith(executable, variable);
    for (pid_t pid : found)
        ::kill(pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (pid_t pid : found)
        while (std::filesystem::exists("/proc/" + std::to_string(pid)) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

} // namespace brimo::test
