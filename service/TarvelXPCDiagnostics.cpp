// The host's measurement and liveness methods. Forwarded calls answer from the completion of
// the call they forwarded; when that call fails (the client's connection broke), the proxy's
// error handler answers -1.0 (false for ping) instead, so every reply is sent exactly once.

#include "service/BridgeCore.h"
#include "service/SpeedTestReport.h"
#include "service/TarvelXPC.h"
#include "service/TunnelRelayBridge.h"
#include "service/tunnel/UsbMuxService.h"
#include "shared/BridgeContract.h"
#include "shared/ipc/InTurn.h"
#include "shared/ipc/Names.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <memory>

namespace brimo {

namespace {

constexpr int64_t kExtension = static_cast<int64_t>(TarvelBridgeClientRole::fileProvider);
constexpr uint8_t kBenchmarkByte = 0xCD;

// One reply shared by a completion and an error handler; the first to answer wins.
template <class T> std::shared_ptr<ipc::Reply<T>> shareReply(ipc::Reply<T> reply) {
    return std::make_shared<ipc::Reply<T>>(std::move(reply));
}

asio::awaitable<void> speedTestTask(HostParts parts, ipc::Reply<bool, std::string> reply) {
    std::optional<std::string> failure;
    UsbMuxService::SpeedTestRound round;
    {
        // Relay traffic waits until the round is over instead of sharing the port with it.
        auto hold = co_await parts.relay.holdLink();
        try {
            round = co_await parts.usbMux.runSpeedTestRound(relayPort, kSpeedTestPayloadBytes);
        } catch (const UsbMuxService::Failure& error) {
            failure = speedTestFailureText(error.error(), relayPort);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        // The round leaves its line-protocol stream open; the relay starts on a fresh one.
        co_await parts.relay.dropTunnel();
    }
    if (failure)
        reply(false, *failure);
    else
        reply(true, speedTestReport(round));
}

} // namespace

void Tarvel_XPC::echo(ipc::Reply<> reply) {
    reply();
}

void Tarvel_XPC::benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) {
    reply(data.size());
}

void Tarvel_XPC::ping(int64_t targetRole, ipc::Reply<bool> reply) {
    const auto caller = parts_.core.role(id_);
    if (!caller) return reply(false);
    if (*caller == targetRole) return reply(true);
    auto once = shareReply(std::move(reply));
    auto target = parts_.core.proxy(targetRole, [once] { (*once)(false); });
    if (!target) return (*once)(false);
    target->echo([once] { (*once)(true); });
}

void Tarvel_XPC::requestExtToHostPing(int64_t count, ipc::Reply<double> reply) {
    auto once = shareReply(std::move(reply));
    auto extension = parts_.core.proxy(kExtension, [once] { (*once)(-1.0); });
    if (!extension) return (*once)(-1.0);
    extension->runExtToHostPing(count, [once](double result) { (*once)(result); });
}

void Tarvel_XPC::requestExtToHostThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                            ipc::Reply<double> reply) {
    auto once = shareReply(std::move(reply));
    auto extension = parts_.core.proxy(kExtension, [once] { (*once)(-1.0); });
    if (!extension) return (*once)(-1.0);
    extension->benchmarkSendChunks(chunkSize, chunkCount,
                                   [once](double result) { (*once)(result); });
}

void Tarvel_XPC::requestHostToExtThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                            ipc::Reply<double> reply) {
    auto once = shareReply(std::move(reply));
    auto extension = parts_.core.proxy(kExtension, [once] { (*once)(-1.0); });
    if (!extension) return (*once)(-1.0);
    // A chunk no call could carry is refused before anything is allocated.
    if (chunkSize > ipc::kMaxCallBytes) return (*once)(-1.0);
    auto chunk = std::make_shared<const Bytes>(chunkCount == 0 ? 0 : chunkSize, kBenchmarkByte);
    ipc::runInTurn(
        chunkCount,
        [extension, chunk](std::function<void()> next) {
            extension->benchmarkIngest(*chunk, [next = std::move(next)](uint64_t) { next(); });
        },
        [once](double seconds) { (*once)(seconds); });
}

void Tarvel_XPC::runUsbMuxSpeedTest(ipc::Reply<bool, std::string> reply) {
    asio::co_spawn(parts_.loop, speedTestTask(parts_, std::move(reply)), asio::detached);
}

} // namespace brimo
