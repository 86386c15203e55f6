#include "extension/KernelNotifier.h"

#include "extension/FuseReply.h"

namespace brimo::fs {

KernelNotifier::KernelNotifier()
    : thread_([this] { run(); }) {}

KernelNotifier::~KernelNotifier() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void KernelNotifier::attach(fuse_session* session) {
    std::lock_guard guard(mutex_);
    session_ = session;
}

void KernelNotifier::entry(uint64_t parent, std::string name) {
    {
        std::lock_guard guard(mutex_);
        notices_.push_back({parent, std::move(name)});
    }
    wake_.notify_one();
}

void KernelNotifier::node(uint64_t node) {
    entry(node, {});
}

void KernelNotifier::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !notices_.empty(); });
        if (stopping_) return;
        Notice notice = std::move(notices_.front());
        notices_.pop_front();
        fuse_session* session = session_;
        if (!session) continue;
        lock.unlock();
        // A node or name the kernel no longer knows answers ENOENT: nothing to drop.
        if (notice.name.empty())
            fuse_lowlevel_notify_inval_inode(session, notice.node, 0, 0);
        else
            fuse_lowlevel_notify_inval_entry(session, notice.node, notice.name.c_str(),
                                             notice.name.size());
        lock.lock();
    }
}

} // namespace brimo::fs
