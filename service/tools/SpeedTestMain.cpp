// brimo-speedtest: runs one link speed-test round against the first attached phone and prints
// the report. The usbmux daemon is found as libusbmuxd finds it (USBMUXD_SOCKET_ADDRESS).

#include "service/SpeedTestReport.h"
#include "service/tunnel/UsbMuxService.h"
#include "shared/EventLoop.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr uint16_t kRelayPort = 33325;

int usage() {
    std::cerr << "usage: brimo-speedtest [--bytes N] [--port PORT]\n";
    return 2;
}

asio::awaitable<int> runOnce(uint16_t port, uint64_t bytes) {
    auto& service = brimo::UsbMuxService::shared();
    int status = 1;
    try {
        co_await service.start();
        const auto round = co_await service.runSpeedTestRound(port, bytes);
        std::cout << brimo::speedTestReport(round) << std::endl;
        status = 0;
    } catch (const brimo::UsbMuxService::Failure& failure) {
        std::cerr << brimo::speedTestFailureText(failure.error(), port) << std::endl;
    }
    co_await service.shutdown();
    co_return status;
}

} // namespace

int main(int argc, char** argv) {
    uint64_t bytes = brimo::kSpeedTestPayloadBytes;
    uint16_t port = kRelayPort;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        if (arg == "--bytes")
            bytes = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--port")
            port = static_cast<uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        else
            return usage();
    }
    int status = 1;
    asio::co_spawn(brimo::mainLoop(), runOnce(port, bytes),
                   [&status](std::exception_ptr, int result) { status = result; });
    brimo::mainLoop().run();
    return status;
}
