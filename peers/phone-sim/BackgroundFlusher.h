#pragma once

#include <condition_variable>
#include <mutex>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace brimo::sim {

// Makes written data durable behind the writer's back, as a phone's storage streams what it
// receives to flash: flush(fd) returns at once and one thread of its own syncs the file soon
// after. A later fsync on the writer's side then finds little left to do. Flushes of the same
// file that queue up meanwhile are done once.
class BackgroundFlusher {
public:
    BackgroundFlusher();
    ~BackgroundFlusher();
    BackgroundFlusher(const BackgroundFlusher&) = delete;
    BackgroundFlusher& operator=(const BackgroundFlusher&) = delete;

    // Holds a duplicate of `fd`, so the caller may close its own at any time.
    void flush(int fd);

private:
    struct Pending {
        dev_t device;
        ino_t inode;
        int fd;
    };

    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Pending> pending_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the members above exist
};

} // namespace brimo::sim
