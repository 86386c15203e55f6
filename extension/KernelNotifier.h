#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

struct fuse_session;

namespace brimo::fs {

// Tells the kernel to drop what it cached of an item. The notices go out from a thread of their
// own: written from the loop they could wait on the very directory lock that a request waiting
// for the loop holds.
class KernelNotifier {
public:
    KernelNotifier();
    ~KernelNotifier();
    KernelNotifier(const KernelNotifier&) = delete;
    KernelNotifier& operator=(const KernelNotifier&) = delete;

    void attach(fuse_session* session);
    // The name in a directory, and what the kernel keeps of a node (attributes and pages).
    void entry(uint64_t parent, std::string name);
    void node(uint64_t node);

private:
    struct Notice {
        uint64_t node;
        std::string name; // empty: the node itself
    };
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Notice> notices_;
    fuse_session* session_ = nullptr;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace brimo::fs
