#include "peers/phone-sim/DevicePipe.h"

#include <algorithm>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace brimo::sim {

namespace {

// Writes go out in slices so that a throttled link paces them smoothly.
constexpr size_t kSlice = 64 * 1024;

} // namespace

DevicePipe::DevicePipe(Socket socket, std::shared_ptr<RateLimiter> link,
                       std::shared_ptr<const DeviceFaults> faults)
    : socket_(std::move(socket))
    , timer_(socket_.get_executor())
    , link_(std::move(link))
    , faults_(std::move(faults)) {}

asio::awaitable<size_t> DevicePipe::readSome(std::span<char> buffer) {
    asio::error_code ec;
    size_t n = co_await socket_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                                asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return 0;
    co_await throttle(n);
    co_return n;
}

asio::awaitable<void> DevicePipe::write(std::string_view data) {
    size_t allowed = data.size();
    if (auto cut = faults_->cutAfterBytes)
        allowed = sentBytes_ >= *cut ? 0 : std::min<uint64_t>(allowed, *cut - sentBytes_);
    for (size_t offset = 0; offset < allowed;) {
        size_t n = std::min(kSlice, allowed - offset);
        co_await throttle(n);
        co_await asio::async_write(socket_, asio::buffer(data.data() + offset, n),
                                   asio::use_awaitable);
        offset += n;
        sentBytes_ += n;
    }
    if (allowed < data.size() || cutReached()) {
        close();
        throw asio::system_error(asio::error::connection_aborted);
    }
}

void DevicePipe::close() {
    asio::error_code ignored;
    socket_.close(ignored);
    timer_.cancel();
}

bool DevicePipe::cutReached() const {
    return faults_->cutAfterBytes && sentBytes_ >= *faults_->cutAfterBytes;
}

asio::awaitable<void> DevicePipe::throttle(size_t bytes) {
    if (!link_) co_return;
    auto delay = link_->reserve(bytes, RateLimiter::Clock::now());
    if (delay.count() == 0) co_return;
    timer_.expires_after(delay);
    asio::error_code ec;
    co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

} // namespace brimo::sim
