// Round-trip latency and 4 MiB read-chunk throughput through the tunnel engine, over a socket
// pair (engine to engine on one loop) and through the real libusbmuxd and the phone simulator,
// next to raw socket baselines of the same exchanges, in one run. Prints figures and ratios;
// asserts nothing.
//
// usage: tunnel_engine_bench [round trips, default 2000] [chunks, default 48]

#include "shared/messages/ChunkMessages.h"
#include "service/tunnel/StreamSocketTransport.h"
#include "service/tunnel/TunnelEngine.h"
#include "service/tunnel/UsbMuxTunnelTransport.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "shared/LargeBuffers.h"
#include "tests/common/RunAsync.h"
#include "tests/common/SocketPair.h"
#include "tests/support/SimProcess.h"

#include <asio/local/connect_pair.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace brimo;
using Clock = std::chrono::steady_clock;
constexpr uint32_t kChunk = 0x400000;
constexpr uint16_t kPing = 0;
constexpr uint16_t kReadChunk = 9;

double seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double mibPerSecond(uint64_t bytes, double s) {
    return bytes / (s * 1024 * 1024);
}

struct Figures {
    double roundTripMicros;
    double chunkMiBps;
};

// Times `trips` pings and `chunks` reads of 4 MiB (offsets wrap within `fileBytes`).
Figures measure(asio::io_context& loop, TunnelEngine& engine, int trips, int chunks,
                uint64_t fileBytes) {
    Figures figures{};
    test::runAsync(loop, [&]() -> asio::awaitable<void> {
        co_await engine.request(kPing, {}); // warm up the connection
        auto start = Clock::now();
        for (int i = 0; i < trips; ++i)
            co_await engine.request(kPing, {});
        figures.roundTripMicros = seconds(start) / trips * 1e6;
        start = Clock::now();
        uint64_t received = 0;
        for (int i = 0; i < chunks; ++i) {
            const uint64_t offset = (static_cast<uint64_t>(i) * kChunk) % fileBytes;
            auto response =
                co_await engine.request(kReadChunk, *encodeReadChunkRequest("payload.bin", offset));
            received += decodeReadChunkResponse(response.payload)->data.size();
        }
        figures.chunkMiBps = mibPerSecond(received, seconds(start));
    }());
    return figures;
}

Figures overSocketPair(int trips, int chunks) {
    asio::io_context loop;
    asio::local::stream_protocol::socket a(loop), b(loop);
    asio::local::connect_pair(a, b);
    TunnelEngine client(loop.get_executor()), phone(loop.get_executor());
    const Bytes chunk = *encodeReadChunkResponse({kChunk, false, Bytes(kChunk, 0x5A)});
    phone.bind(
        std::make_shared<StreamSocketTransport>(std::move(b)), TunnelEndpointRole::server, "phone",
        [&](uint16_t code, Bytes) -> asio::awaitable<TunnelMessage> {
            co_return TunnelMessage{0, code == kReadChunk ? chunk : Bytes{}};
        },
        nullptr);
    phone.startReading();
    client.bind(std::make_shared<StreamSocketTransport>(std::move(a)), TunnelEndpointRole::client,
                "bench", nullptr, nullptr);
    client.startReading();
    const auto figures = measure(loop, client, trips, chunks, kChunk);
    test::runAsync(loop, client.stop());
    test::runAsync(loop, phone.stop());
    return figures;
}

Figures throughSimulator(int trips, int chunks) {
    const uint64_t fileBytes = 16ull * kChunk;
    char rootTemplate[] = "/tmp/brimo-bench-root-XXXXXX";
    const std::string root = ::mkdtemp(rootTemplate);
    {
        std::ofstream file(root + "/payload.bin", std::ios::binary);
        const std::string block(kChunk, 'Z');
        for (uint64_t i = 0; i < fileBytes / kChunk; ++i)
            file << block;
    }
    test::SimProcess sim({{"00008030-0000000000BE4C12"}, "", root});
    test::UsbmuxdAddressGuard address(sim.usbmuxdAddress());
    usbmux_mgr_start();
    asio::io_context loop;
    TunnelEngine client(loop.get_executor());
    client.bind(std::make_shared<UsbMuxTunnelTransport>(tunnel_id{{}, 33325}),
                TunnelEndpointRole::client, "relay:33325", nullptr, nullptr);
    client.startReading();
    const auto figures = measure(loop, client, trips, chunks, fileBytes);
    test::runAsync(loop, client.stop());
    usbmux_mgr_shutdown();
    std::filesystem::remove_all(root);
    return figures;
}

// The same exchanges on a bare socket pair: a 16-byte ping answered by 16 bytes, and 4 MiB
// chunks asked for with 16 bytes.
Figures rawBaseline(int trips, int chunks) {
    test::SocketPair pair;
    std::thread phone([&] {
        char request[16];
        const std::string chunk(kChunk, 'Z');
        for (int i = 0; i < trips + chunks; ++i) {
            if (pair.read(sizeof request).size() != sizeof request) return;
            pair.write(i < trips ? std::string(16, 'p') : chunk);
        }
    });
    auto exchange = [&](size_t answer) {
        char request[16] = {};
        ::send(pair.local, request, sizeof request, 0);
        std::string buffer(answer, '\0');
        for (size_t got = 0; got < answer;) {
            const ssize_t n = ::recv(pair.local, buffer.data() + got, answer - got, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    };
    Figures figures{};
    auto start = Clock::now();
    for (int i = 0; i < trips; ++i)
        exchange(16);
    figures.roundTripMicros = seconds(start) / trips * 1e6;
    start = Clock::now();
    for (int i = 0; i < chunks; ++i)
        exchange(kChunk);
    figures.chunkMiBps = mibPerSecond(static_cast<uint64_t>(chunks) * kChunk, seconds(start));
    phone.join();
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int chunks = argc > 2 ? std::atoi(argv[2]) : 48;
    // As the service and the simulator run.
    brimo::keepLargeBuffersInHeap();
    const Figures raw = rawBaseline(trips, chunks);
    const Figures pair = overSocketPair(trips, chunks);
    const Figures sim = throughSimulator(trips, chunks);
    std::printf("tunnel engine, %d round trips, %d read chunks of 4 MiB\n", trips, chunks);
    std::printf("                               round trip        4 MiB read chunks\n");
    std::printf("  raw socket pair (baseline): %8.1f us          %8.1f MiB/s\n",
                raw.roundTripMicros, raw.chunkMiBps);
    std::printf("  engine over socket pair:    %8.1f us (x%.2f)  %8.1f MiB/s (ratio %.3f)\n",
                pair.roundTripMicros, pair.roundTripMicros / raw.roundTripMicros, pair.chunkMiBps,
                pair.chunkMiBps / raw.chunkMiBps);
    std::printf("  engine through simulator:   %8.1f us (x%.2f)  %8.1f MiB/s (ratio %.3f)\n",
                sim.roundTripMicros, sim.roundTripMicros / raw.roundTripMicros, sim.chunkMiBps,
                sim.chunkMiBps / raw.chunkMiBps);
    return 0;
}
