#include "peers/phone-sim/PhoneAppConnection.h"

#include "peers/phone-sim/DevicePipe.h"
#include "peers/phone-sim/FramedSession.h"
#include "peers/phone-sim/LineProtocolSession.h"

#include <array>
#include <string>
#include <string_view>

namespace brimo::sim {

namespace {

constexpr std::string_view kFrameMagic = "PRTU";

} // namespace

asio::awaitable<void> PhoneAppConnection::run() {
    if (pipe_.cutReached()) {
        pipe_.close();
        co_return;
    }
    // Read only until the bytes can no longer become the magic, so that a short line command
    // is answered without waiting for more input.
    std::string prefix;
    std::array<char, 4096> chunk;
    while (prefix.size() < kFrameMagic.size() && kFrameMagic.starts_with(prefix)) {
        size_t n = co_await pipe_.readSome(chunk);
        if (n == 0) co_return;
        prefix.append(chunk.data(), n);
    }
    if (prefix.starts_with(kFrameMagic)) {
        co_await FramedSession(pipe_, std::move(prefix), app_, registry_, device_).run();
        co_return;
    }
    co_await LineProtocolSession(pipe_, std::move(prefix)).run();
}

} // namespace brimo::sim
