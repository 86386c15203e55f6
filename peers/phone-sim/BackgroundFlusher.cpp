#include "peers/phone-sim/BackgroundFlusher.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brimo::sim {

BackgroundFlusher::BackgroundFlusher()
    : thread_([this] { run(); }) {}

BackgroundFlusher::~BackgroundFlusher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
    for (const Pending& file : pending_)
        ::close(file.fd);
}

void BackgroundFlusher::flush(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return;
    const int held = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (held < 0) return;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back({info.st_dev, info.st_ino, held});
    }
    wake_.notify_one();
}

void BackgroundFlusher::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (stopping_) return;
        std::vector<Pending> batch;
        batch.swap(pending_);
        lock.unlock();
        const auto sameFile = [](const Pending& a, const Pending& b) {
            return a.device == b.device && a.inode == b.inode;
        };
        for (auto file = batch.begin(); file != batch.end(); ++file) {
            // Once per file: a sync covers everything written before it started.
            if (std::none_of(batch.begin(), file,
                             [&](const Pending& p) { return sameFile(p, *file); }))
                ::fdatasync(file->fd);
        }
        for (const Pending& file : batch)
            ::close(file.fd);
        lock.lock();
    }
}

} // namespace brimo::sim
