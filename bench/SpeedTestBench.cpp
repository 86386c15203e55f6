// Link speed-test throughput through the real libusbmuxd and the phone simulator, next to a raw
// Unix socket copy of the same byte count on this machine, in one run. Prints MiB/s and ratios;
// asserts nothing (machines are shared and noisy).
//
// usage: speedtest_bench [MiB per direction, default 64]

#include "service/tunnel/UsbMuxService.h"
#include "tests/common/RunAsync.h"
#include "tests/common/SocketPair.h"
#include "tests/support/SimProcess.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

namespace {

using brimo::UsbMuxService;
constexpr uint16_t kPort = 33325;
constexpr size_t kPiece = 0x40000;

double mibPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / (seconds * 1024 * 1024) : 0;
}

// The same bytes in the same 256 KiB pieces over a plain socket pair.
double rawCopySeconds(uint64_t bytes) {
    brimo::test::SocketPair pair;
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        std::vector<char> buffer(kPiece);
        for (uint64_t left = bytes; left > 0;) {
            const ssize_t n = ::recv(pair.peer, buffer.data(), std::min<uint64_t>(left, kPiece), 0);
            if (n <= 0) break;
            left -= static_cast<uint64_t>(n);
        }
    });
    const std::vector<char> buffer(kPiece, '\xA5');
    for (uint64_t left = bytes; left > 0;) {
        const ssize_t n = ::send(pair.local, buffer.data(), std::min<uint64_t>(left, kPiece), 0);
        if (n <= 0) break;
        left -= static_cast<uint64_t>(n);
    }
    reader.join();
    ::close(pair.local);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

UsbMuxService::SpeedTestRound simulatedRound(const std::string& linkRate, uint64_t bytes) {
    brimo::test::SimProcess sim({{"00008030-0000000000BE4C11"}, linkRate, ""});
    brimo::test::UsbmuxdAddressGuard address(sim.usbmuxdAddress());
    asio::io_context loop;
    UsbMuxService service(loop.get_executor());
    brimo::test::runAsync(loop, service.start());
    // The routines' own console lines are not part of this report.
    std::cout.setstate(std::ios::failbit);
    auto round = brimo::test::runAsync(loop, service.runSpeedTestRound(kPort, bytes));
    std::cout.clear();
    brimo::test::runAsync(loop, service.shutdown());
    return round;
}

} // namespace

int main(int argc, char** argv) {
    const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    const uint64_t bytes = mib * 1024 * 1024;

    const double raw = mibPerSecond(bytes, rawCopySeconds(bytes));
    const auto direct = simulatedRound("", bytes);
    const auto usb2 = simulatedRound("usb2", bytes);
    const double usb2Model = 40e6 / (1024 * 1024);

    std::printf("speed test, %llu MiB per direction\n", static_cast<unsigned long long>(mib));
    std::printf("  raw socket copy (baseline):       %9.1f MiB/s\n", raw);
    std::printf("  libusbmuxd + simulator, download: %9.1f MiB/s  ratio %.3f\n",
                direct.download.mibPerSecond(), direct.download.mibPerSecond() / raw);
    std::printf("  libusbmuxd + simulator, upload:   %9.1f MiB/s  ratio %.3f\n",
                direct.upload.mibPerSecond(), direct.upload.mibPerSecond() / raw);
    std::printf("  USB 2.0 model (%.1f MiB/s), download: %7.1f MiB/s  ratio to model %.3f\n",
                usb2Model, usb2.download.mibPerSecond(), usb2.download.mibPerSecond() / usb2Model);
    std::printf("  USB 2.0 model (%.1f MiB/s), upload:   %7.1f MiB/s  ratio to model %.3f\n",
                usb2Model, usb2.upload.mibPerSecond(), usb2.upload.mibPerSecond() / usb2Model);
    return 0;
}
