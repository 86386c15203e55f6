#pragma once

#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace brimo::fs {

// The one answer a kernel request gets. Whatever path an operation takes, including a coroutine
// destroyed before it finished, the request is answered exactly once: a reply that was never
// given answers EIO when it goes.
class FuseReply {
public:
    explicit FuseReply(fuse_req_t request)
        : request_(request) {}
    FuseReply(FuseReply&& other) noexcept
        : request_(std::exchange(other.request_, nullptr))
        , interruption_(std::move(other.interruption_)) {}
    FuseReply& operator=(FuseReply&&) = delete;
    ~FuseReply() {
        if (fuse_req_t request = take()) fuse_reply_err(request, EIO);
    }

    // From now on, when the program that waits is interrupted (a signal, its death), the request
    // is answered EINTR at once and `stop` runs, on whichever thread the interrupt arrived;
    // the operation's own answer then finds nobody waiting.
    void interruptible(std::function<void()> stop = {});

    // Each returns false when the kernel no longer waits for the answer (the request was
    // interrupted), so that the caller can undo what the answer would have handed over.
    bool error(int error) {
        return answer([&](fuse_req_t request) { return fuse_reply_err(request, error); });
    }
    bool none() {
        if (fuse_req_t request = take()) fuse_reply_none(request);
        return true;
    }
    bool entry(const fuse_entry_param& entry) {
        return answer([&](fuse_req_t request) { return fuse_reply_entry(request, &entry); });
    }
    bool create(const fuse_entry_param& entry, const fuse_file_info& info) {
        return answer(
            [&](fuse_req_t request) { return fuse_reply_create(request, &entry, &info); });
    }
    bool attributes(const struct stat& attributes, double timeout) {
        return answer(
            [&](fuse_req_t request) { return fuse_reply_attr(request, &attributes, timeout); });
    }
    bool open(const fuse_file_info& info) {
        return answer([&](fuse_req_t request) { return fuse_reply_open(request, &info); });
    }
    bool written(size_t count) {
        return answer([&](fuse_req_t request) { return fuse_reply_write(request, count); });
    }
    bool buffer(const char* data, size_t size) {
        return answer([&](fuse_req_t request) { return fuse_reply_buf(request, data, size); });
    }
    bool data(fuse_bufvec& data) {
        return answer([&](fuse_req_t request) {
            return fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
        });
    }
    bool statfs(const struct statvfs& statistics) {
        return answer([&](fuse_req_t request) { return fuse_reply_statfs(request, &statistics); });
    }

    fuse_req_t request() const { return request_; }
    // Whether the kernel still waits for the answer: false once an interrupt gave it.
    bool waited() const;

private:
    struct Interruption {
        std::mutex lock;
        fuse_req_t request;
        bool answered = false;
        std::function<void()> stop;
    };

    static void interrupted(fuse_req_t request, void* data);
    // The request to answer, or none when an interrupt answered it already.
    fuse_req_t take();
    template <class Reply> bool answer(Reply reply) {
        fuse_req_t request = take();
        return request && reply(request) == 0;
    }

    fuse_req_t request_;
    std::unique_ptr<Interruption> interruption_;
};

} // namespace brimo::fs
