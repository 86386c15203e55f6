#include "shared/SerialGate.h"

#include <asio/experimental/channel.hpp>
#include <asio/use_awaitable.hpp>

namespace brimo {

// A channel with room for one token: sending takes the gate, receiving gives it back and lets
// the longest-waiting sender in.
struct SerialGate::Impl {
    explicit Impl(asio::any_io_executor executor)
        : channel(std::move(executor), 1) {}
    // (A lone error_code signature is ambiguous in this Asio version, hence the extra bool.)
    asio::experimental::channel<void(asio::error_code, bool)> channel;
};

SerialGate::SerialGate(asio::any_io_executor executor)
    : impl_(std::make_unique<Impl>(std::move(executor))) {}

SerialGate::~SerialGate() = default;

asio::awaitable<SerialGate::Hold> SerialGate::acquire() {
    co_await impl_->channel.async_send(asio::error_code{}, true, asio::use_awaitable);
    co_return Hold(this);
}

void SerialGate::release() {
    impl_->channel.try_receive([](asio::error_code, bool) {});
}

} // namespace brimo
