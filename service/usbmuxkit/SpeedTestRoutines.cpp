#include "service/usbmuxkit/UsbTunnelManager.h"

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

// The link speed test's line protocol: a ping, a burst to the phone acknowledged by one line,
// and a burst from the phone. Timing uses the monotonic clock: these measure real I/O.
namespace usbmuxkit {
namespace {

using SteadyClock = std::chrono::steady_clock;

double elapsedNanoseconds(SteadyClock::time_point since) {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - since).count());
}

void printRateLine(uint64_t bytes, double seconds) {
    if (seconds <= 0) {
        std::cout << "带宽: （计时不合法）\n" << std::flush;
        return;
    }
    const double b = static_cast<double>(bytes);
    std::cout << "字节数: " << bytes << " 用时: " << seconds << " s"
              << "  ≈ " << b / (seconds * 1024 * 1024) << " MiB/s, " << b * 8 / (seconds * 1000000)
              << " Mbit/s\n"
              << std::flush;
}

bool sendLine(TunnelSession& session, const std::string& line) {
    return session.sendAll(line.data(), static_cast<uint32_t>(line.size()));
}

} // namespace

bool UsbTunnelManager::runPing(TunnelSession& session, double& milliseconds) {
    const auto start = SteadyClock::now();
    if (!sendLine(session, "PING\r\n")) return false;
    std::string line;
    if (!session.readLine(line)) return false;
    milliseconds = elapsedNanoseconds(start) / 1000000.0;
    if (line == "PONG")
        std::cout << "往返延时 (RTT): " << milliseconds << " ms\n" << std::flush;
    else
        std::cout << "RTT 收到非预期行: \"" << line << "\" （仍报告耗时 " << milliseconds
                  << " ms)\n"
                  << std::flush;
    return true;
}

bool UsbTunnelManager::runDownloadTest(TunnelSession& session, uint64_t bytes, double& seconds) {
    const std::string header = "BW:DOWN:" + std::to_string(bytes) + "\r\n";
    const auto start = SteadyClock::now();
    if (!sendLine(session, header)) {
        std::cerr << "BW:DOWN header 发送失败\n";
        return false;
    }
    const std::vector<unsigned char> buffer(TunnelSession::kChunkBytes, 0xA5);
    for (uint64_t remaining = bytes; remaining > 0;) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(remaining, buffer.size()));
        if (!session.sendAll(buffer.data(), piece)) {
            std::cerr << "BW:DOWN payload 发送失败\n";
            return false;
        }
        remaining -= piece;
    }
    std::string ack;
    if (!session.readLine(ack)) {
        std::cerr << "读取 BW:DOWN 确认失败\n";
        return false;
    }
    const double elapsed = elapsedNanoseconds(start);
    if (!ack.starts_with("BW:DOWN:OK:")) {
        std::cerr << "意外 ACK: " << ack << "\n";
        return false;
    }
    seconds = elapsed / 1e9;
    std::cout << "下行带宽 Mac → iPhone (USBMUX): ";
    printRateLine(bytes, seconds);
    return true;
}

bool UsbTunnelManager::runUploadTest(TunnelSession& session, uint64_t bytes, double& seconds) {
    const std::string header = "BW:UP:" + std::to_string(bytes) + "\r\n";
    if (!sendLine(session, header)) {
        std::cerr << "BW:UP header 发送失败\n";
        return false;
    }
    std::vector<unsigned char> buffer(TunnelSession::kChunkBytes, 0);
    const auto start = SteadyClock::now();
    for (uint64_t remaining = bytes; remaining > 0;) {
        const auto piece = static_cast<uint32_t>(std::min<uint64_t>(remaining, buffer.size()));
        if (!session.recvAll(buffer.data(), piece)) {
            std::cerr << "BW:UP 接收 payload 失败\n";
            return false;
        }
        remaining -= piece;
    }
    seconds = elapsedNanoseconds(start) / 1e9;
    std::cout << "上行带宽 iPhone → Mac (USBMUX): ";
    printRateLine(bytes, seconds);
    return true;
}

} // namespace usbmuxkit
