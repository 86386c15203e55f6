#include "service/TarvelXPC.h"

#include "service/BridgeCore.h"
#include "service/ServiceVersion.h"
#include "service/TransferCoordinator.h"
#include "service/TunnelRelayBridge.h"
#include "service/messages/RelayLookupMessages.h"
#include "shared/Log.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

namespace brimo {

using log::xpcLog;

asio::awaitable<bool> HostServices::notifyPhoneOfUnmount() {
    co_return false;
}

Tarvel_XPC::Tarvel_XPC(asio::any_io_executor loop, BridgeCore& core, TunnelRelayBridge& relay,
                       TransferCoordinator& transfers, HostServices& services,
                       std::filesystem::path infoDictionary)
    : loop_(std::move(loop))
    , core_(core)
    , relay_(relay)
    , transfers_(transfers)
    , services_(services)
    , infoDictionary_(std::move(infoDictionary)) {}

void Tarvel_XPC::registerClient(int64_t role, ipc::Reply<bool> reply) {
    reply(core_.registerClient(this, role));
}

void Tarvel_XPC::echo(ipc::Reply<> reply) {
    reply();
}

void Tarvel_XPC::ping(int64_t, ipc::Reply<bool> reply) {
    reply(false);
}

void Tarvel_XPC::benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) {
    reply(data.size());
}

void Tarvel_XPC::requestExtToHostPing(int64_t, ipc::Reply<double> reply) {
    reply(-1.0);
}

void Tarvel_XPC::requestExtToHostThroughput(uint64_t, uint64_t, ipc::Reply<double> reply) {
    reply(-1.0);
}

void Tarvel_XPC::requestHostToExtThroughput(uint64_t, uint64_t, ipc::Reply<double> reply) {
    reply(-1.0);
}

void Tarvel_XPC::runUsbMuxSpeedTest(ipc::Reply<bool, std::string> reply) {
    reply(false, "The link speed test is not available in this build.");
}

void Tarvel_XPC::relayToUsbMux(int64_t code, Bytes param,
                               ipc::Reply<Bytes, int64_t, int64_t> reply) {
    asio::co_spawn(loop_, relayTask(code, std::move(param), std::move(reply)), asio::detached);
}

asio::awaitable<void> Tarvel_XPC::relayTask(int64_t code, Bytes param,
                                            ipc::Reply<Bytes, int64_t, int64_t> reply) {
    auto [response, error, status] = co_await relay_.relayToUsbMux(this, code, std::move(param));
    reply(std::move(response), error, status);
}

void Tarvel_XPC::requestFileIO(int64_t operation, Bytes param, ipc::Reply<Bytes, int64_t> reply) {
    asio::co_spawn(loop_, fileIOTask(operation, std::move(param), std::move(reply)),
                   asio::detached);
}

asio::awaitable<void> Tarvel_XPC::fileIOTask(int64_t operation, Bytes param,
                                             ipc::Reply<Bytes, int64_t> reply) {
    auto [data, code] = co_await transfers_.requestFileIO(this, operation, std::move(param));
    reply(std::move(data), code);
}

void Tarvel_XPC::getXPCServiceVersion(ipc::Reply<int64_t> reply) {
    reply(serviceVersion(infoDictionary_));
}

void Tarvel_XPC::filesystemDidUnmount() {
    asio::co_spawn(loop_, unmountNotice(), asio::detached);
}

void Tarvel_XPC::shutdown(ipc::Reply<bool> reply) {
    asio::co_spawn(loop_, shutdownTask(std::move(reply)), asio::detached);
}

asio::awaitable<void> Tarvel_XPC::shutdownTask(ipc::Reply<bool> reply) {
    // Forcing the unmount arrives with the mount service; until then nothing is mounted.
    if (!services_.isMounted()) xpcLog.info("shutdown — already unmounted");
    co_await unmountNotice();
    reply(true);
}

asio::awaitable<void> Tarvel_XPC::unmountNotice() {
    if (core_.usbMuxConnection()) {
        const bool notified = co_await services_.notifyPhoneOfUnmount();
        xpcLog.info(notified ? "filesystemUnmounted — iOS notified"
                             : "filesystemUnmounted — iOS notify skipped/failed");
    }
    services_.volumeUnmounted();
}

} // namespace brimo
