#include "extension/MountWatcher.h"

#include "shared/MountTable.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace brimo::fs {

namespace {

constexpr const char* kMountTable = "/proc/self/mountinfo";

// The whole table as it is now; procfs serves it afresh from offset 0.
std::string readTable(int fd) {
    std::string table;
    char chunk[16384];
    ::lseek(fd, 0, SEEK_SET);
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        table.append(chunk, size_t(n));
    }
    return table;
}

} // namespace

std::optional<std::string> findMount(const std::string& mountPoint, const std::string& type) {
    const int fd = ::open(kMountTable, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    const auto top = topMountAt(readTable(fd), mountPoint);
    ::close(fd);
    if (!top || top->type != type) return std::nullopt;
    return top->id;
}

MountWatcher::MountWatcher(std::string id, std::function<void()> gone)
    : id_(std::move(id))
    , gone_(std::move(gone))
    , wakeFd_(::eventfd(0, EFD_CLOEXEC))
    , thread_([this] { run(); }) {}

MountWatcher::~MountWatcher() {
    const uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(wakeFd_);
}

void MountWatcher::run() {
    const int table = ::open(kMountTable, O_RDONLY | O_CLOEXEC);
    if (table < 0) return;
    for (;;) {
        bool present = false;
        for (const auto& entry : parseMountTable(readTable(table)))
            present = present || entry.id == id_;
        if (!present) {
            gone_();
            break;
        }
        // The table signals every change as an exceptional condition.
        pollfd fds[2] = {{table, POLLPRI, 0}, {wakeFd_, POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
        if (fds[1].revents) break;
    }
    ::close(table);
}

} // namespace brimo::fs
