#pragma once

#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>

#include <cerrno>
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
        : request_(std::exchange(other.request_, nullptr)) {}
    FuseReply& operator=(FuseReply&&) = delete;
    ~FuseReply() {
        if (request_) fuse_reply_err(request_, EIO);
    }

    // Each returns false when the kernel no longer waits for the answer (the request was
    // interrupted), so that the caller can undo what the answer would have handed over.
    bool error(int error) { return fuse_reply_err(take(), error) == 0; }
    bool none() {
        fuse_reply_none(take());
        return true;
    }
    bool entry(const fuse_entry_param& entry) { return fuse_reply_entry(take(), &entry) == 0; }
    bool create(const fuse_entry_param& entry, const fuse_file_info& info) {
        return fuse_reply_create(take(), &entry, &info) == 0;
    }
    bool attributes(const struct stat& attributes, double timeout) {
        return fuse_reply_attr(take(), &attributes, timeout) == 0;
    }
    bool open(const fuse_file_info& info) { return fuse_reply_open(take(), &info) == 0; }
    bool written(size_t count) { return fuse_reply_write(take(), count) == 0; }
    bool buffer(const char* data, size_t size) { return fuse_reply_buf(take(), data, size) == 0; }
    bool data(fuse_bufvec& data) {
        return fuse_reply_data(take(), &data, FUSE_BUF_SPLICE_MOVE) == 0;
    }
    bool statfs(const struct statvfs& statistics) {
        return fuse_reply_statfs(take(), &statistics) == 0;
    }

    fuse_req_t request() const { return request_; }

private:
    fuse_req_t take() { return std::exchange(request_, nullptr); }

    fuse_req_t request_;
};

} // namespace brimo::fs
