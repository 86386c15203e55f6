#include "peers/phone-sim/LineProtocolSession.h"

#include "peers/phone-sim/DevicePipe.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace brimo::sim {

namespace {

// A peer that sends this much without a line break is not speaking the line protocol.
constexpr size_t kMaxLine = 64 * 1024;
constexpr size_t kChunk = 64 * 1024;

std::optional<uint64_t> parseCount(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

} // namespace

LineProtocolSession::LineProtocolSession(DevicePipe& pipe, std::string pending)
    : pipe_(pipe)
    , buffer_(std::move(pending)) {}

asio::awaitable<void> LineProtocolSession::run() {
    while (auto line = co_await readLine()) {
        if (!co_await handle(*line)) co_return;
    }
}

asio::awaitable<std::optional<std::string>> LineProtocolSession::readLine() {
    size_t scanned = 0;
    for (;;) {
        size_t lf = buffer_.find('\n', scanned);
        if (lf != std::string::npos) {
            if (lf > kMaxLine) co_return std::nullopt;
            std::string line = buffer_.substr(0, lf);
            buffer_.erase(0, lf + 1);
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            co_return line;
        }
        if (buffer_.size() > kMaxLine) co_return std::nullopt;
        scanned = buffer_.size();
        if (!co_await fill()) co_return std::nullopt;
    }
}

asio::awaitable<bool> LineProtocolSession::handle(std::string_view line) {
    const DeviceFaults& faults = pipe_.faults();
    constexpr std::string_view down = "BW:DOWN:", up = "BW:UP:";
    if (line == "PING") {
        co_await reply(faults.pongReply.value_or("PONG"));
    } else if (line.starts_with(down)) {
        auto count = parseCount(line.substr(down.size()));
        if (!count) {
            co_await reply("BW:DOWN:ERR");
        } else {
            if (!co_await discard(*count)) co_return false;
            co_await reply(faults.ackReply.value_or("BW:DOWN:OK:" + std::to_string(*count)));
        }
    } else if (line.starts_with(up)) {
        auto count = parseCount(line.substr(up.size()));
        if (!count)
            co_await reply("BW:UP:ERR");
        else if (!faults.silent)
            co_await sendFill(*count);
    } else if (!line.empty()) {
        co_await reply("ERR");
    }
    co_return true;
}

asio::awaitable<bool> LineProtocolSession::discard(uint64_t bytes) {
    for (;;) {
        size_t taken = static_cast<size_t>(std::min<uint64_t>(bytes, buffer_.size()));
        buffer_.erase(0, taken);
        bytes -= taken;
        if (bytes == 0) co_return true;
        if (!co_await fill()) co_return false;
    }
}

asio::awaitable<void> LineProtocolSession::sendFill(uint64_t bytes) {
    static const std::string block(kChunk, '\xA5');
    while (bytes > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, block.size()));
        co_await pipe_.write(std::string_view(block).substr(0, n));
        bytes -= n;
    }
}

asio::awaitable<void> LineProtocolSession::reply(std::string_view text) {
    if (pipe_.faults().silent) co_return;
    co_await pipe_.write(std::string(text) + "\r\n");
}

asio::awaitable<bool> LineProtocolSession::fill() {
    std::array<char, kChunk> chunk;
    size_t n = co_await pipe_.readSome(chunk);
    buffer_.append(chunk.data(), n);
    co_return n > 0;
}

} // namespace brimo::sim
