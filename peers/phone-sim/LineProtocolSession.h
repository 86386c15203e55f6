#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimo::sim {

class DevicePipe;

// The speed-test line protocol: LF-terminated commands (trailing CRs ignored), replies ending
// in CR LF. "PING" → "PONG"; "BW:DOWN:<n>" → the app swallows n bytes, then acknowledges;
// "BW:UP:<n>" → the app sends n bytes and nothing else.
class LineProtocolSession {
public:
    // `pending` holds bytes already read from the pipe while the protocol was being detected.
    LineProtocolSession(DevicePipe& pipe, std::string pending);

    asio::awaitable<void> run();

private:
    // Nothing at the end of the stream or when a line grows past the limit.
    asio::awaitable<std::optional<std::string>> readLine();
    asio::awaitable<bool> handle(std::string_view line);
    asio::awaitable<bool> discard(uint64_t bytes);
    asio::awaitable<void> sendFill(uint64_t bytes);
    asio::awaitable<void> reply(std::string_view text);
    asio::awaitable<bool> fill();

    DevicePipe& pipe_;
    std::string buffer_;
};

} // namespace brimo::sim
