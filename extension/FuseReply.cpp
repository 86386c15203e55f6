#include "extension/FuseReply.h"

namespace brimo::fs {

void FuseReply::interruptible(std::function<void()> stop) {
    if (!request_ || interruption_) return;
    interruption_ = std::make_unique<Interruption>();
    interruption_->request = request_;
    interruption_->stop = std::move(stop);
    // Runs `interrupted` at once when the interrupt came before.
    fuse_req_interrupt_func(request_, &FuseReply::interrupted, interruption_.get());
}

// On a thread of the session, which holds the request until this returns.
void FuseReply::interrupted(fuse_req_t, void* data) {
    auto* interruption = static_cast<Interruption*>(data);
    std::lock_guard guard(interruption->lock);
    if (interruption->answered) return;
    interruption->answered = true;
    fuse_reply_err(interruption->request, EINTR);
    if (interruption->stop) interruption->stop();
}

bool FuseReply::waited() const {
    if (!request_ || !interruption_) return request_ != nullptr;
    std::lock_guard guard(interruption_->lock);
    return !interruption_->answered;
}

fuse_req_t FuseReply::take() {
    fuse_req_t request = std::exchange(request_, nullptr);
    if (!request || !interruption_) return request;
    {
        std::lock_guard guard(interruption_->lock);
        if (std::exchange(interruption_->answered, true)) return nullptr;
    }
    // Waits for an interrupt being handled right now, which then finds the request answered;
    // none comes after this.
    fuse_req_interrupt_func(request, nullptr, nullptr);
    return request;
}

} // namespace brimo::fs
