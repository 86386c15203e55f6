#include "app/launchctl/OnDemandService.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// glibc 2.36 declares these without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

namespace brimo::launchctl {
namespace {

namespace fs = std::filesystem;

// How long a process may take to go once SIGKILL was sent.
constexpr std::chrono::milliseconds kKillWait{5000};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `pid` is one of the caller's processes and has the file open.
bool ownsOpenFile(pid_t pid, const struct stat& file) {
    const fs::path process = "/proc/" + std::to_string(pid);
    struct stat info {};
    if (::stat(process.c_str(), &info) != 0 || info.st_uid != ::getuid()) return false;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator(process / "fd", ec)) {
        struct stat target {};
        if (::stat(fd.path().c_str(), &target) == 0 && sameFile(target, file)) return true;
    }
    return false;
}

// The flock holder of the file, from the kernel's lock table. Its lines read
// "ID: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE START END"; waiters have "->" after the ID. The
// listed process must have the file open: the table names the process that took the lock, and
// that number may by now belong to another one.
std::optional<pid_t> lockHolder(const fs::path& lockFile) {
    struct stat lock {};
    if (::stat(lockFile.c_str(), &lock) != 0) return std::nullopt;
    const std::string inode = std::to_string(lock.st_ino);
    std::ifstream table("/proc/locks");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, type, mode, access, device;
        long pid = 0;
        if (!(fields >> id >> type >> mode >> access >> pid >> device) || type != "FLOCK") continue;
        if (device.substr(device.rfind(':') + 1) != inode || pid <= 0) continue;
        if (ownsOpenFile(pid_t(pid), lock)) return pid_t(pid);
    }
    return std::nullopt;
}

bool endsWithin(int pidfd, std::chrono::milliseconds limit) {
    pollfd ended{pidfd, POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&ended, 1, int(limit.count()))) < 0 && errno == EINTR) {
    }
    return ready > 0;
}

int end(pid_t pid, int pidfd, std::chrono::milliseconds grace) {
    if (::pidfd_send_signal(pidfd, SIGTERM, nullptr, 0) != 0) {
        if (errno == ESRCH) return kEnded;
        std::fprintf(stderr, "brimo-launchctl: cannot signal pid %d: %s\n", int(pid),
                     std::strerror(errno));
        return kFailed;
    }
    if (endsWithin(pidfd, grace)) return kEnded;
    if (::pidfd_send_signal(pidfd, SIGKILL, nullptr, 0) != 0 && errno != ESRCH) {
        std::fprintf(stderr, "brimo-launchctl: cannot kill pid %d: %s\n", int(pid),
                     std::strerror(errno));
        return kFailed;
    }
    if (endsWithin(pidfd, kKillWait)) return kEnded;
    std::fprintf(stderr, "brimo-launchctl: pid %d did not end\n", int(pid));
    return kFailed;
}

} // namespace

int endLockHolder(const fs::path& lockFile, std::chrono::milliseconds grace) {
    const auto holder = lockHolder(lockFile);
    if (!holder) return kNoSuchProcess;
    // The descriptor pins the process; once it is open, the number can no longer come to name
    // another process. If the holder changed in between, the lock was released meanwhile.
    const int pidfd = ::pidfd_open(*holder, 0);
    if (pidfd < 0 || lockHolder(lockFile) != holder) {
        if (pidfd >= 0) ::close(pidfd);
        return kNoSuchProcess;
    }
    const int status = end(*holder, pidfd, grace);
    ::close(pidfd);
    return status;
}

} // namespace brimo::launchctl
