#include "service/TarvelXPC.h"

#include "service/BridgeCore.h"
#include "service/MountService.h"
#include "service/ServiceVersion.h"
#include "service/TransferCoordinator.h"
#include "service/TunnelRelayBridge.h"
#include "shared/Log.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

namespace brimo {

using log::xpcLog;

namespace {

asio::awaitable<void> relayTask(HostParts parts, HostID host, int64_t code, Bytes param,
                                ipc::Reply<Bytes, int64_t, int64_t> reply) {
    auto [response, error, status] =
        co_await parts.relay.relayToUsbMux(host, code, std::move(param));
    reply(std::move(response), error, status);
}

asio::awaitable<void> fileIOTask(HostParts parts, HostID host, int64_t operation, Bytes param,
                                 ipc::Reply<Bytes, int64_t> reply) {
    auto [data, code] = co_await parts.transfers.requestFileIO(host, operation, std::move(param));
    reply(std::move(data), code);
}

asio::awaitable<void> unmountNotice(HostParts parts) {
    if (parts.core.usbMuxConnection()) {
        const bool notified = co_await parts.services.notifyPhoneOfUnmount();
        xpcLog.info(notified ? "filesystemUnmounted — iOS notified"
                             : "filesystemUnmounted — iOS notify skipped/failed");
    }
    parts.services.volumeUnmounted();
}

asio::awaitable<void> shutdownTask(HostParts parts, ipc::Reply<bool> reply) {
    bool result = true;
    try {
        co_await parts.services.forceUnmount();
        xpcLog.info("shutdown — force unmount ok");
    } catch (const MountServiceError& error) {
        if (error.kind() == MountServiceErrorKind::notMounted) {
            xpcLog.info("shutdown — already unmounted");
        } else {
            xpcLog.error("shutdown — unmount failed: %s", error.what());
            result = false;
        }
    } catch (const std::exception& error) {
        xpcLog.error("shutdown — unmount failed: %s", error.what());
        result = false;
    }
    co_await unmountNotice(parts);
    reply(result);
}

} // namespace

void Tarvel_XPC::registerClient(int64_t role, ipc::Reply<bool> reply) {
    reply(parts_.core.registerClient(id_, role));
}

void Tarvel_XPC::relayToUsbMux(int64_t code, Bytes param,
                               ipc::Reply<Bytes, int64_t, int64_t> reply) {
    asio::co_spawn(parts_.loop, relayTask(parts_, id_, code, std::move(param), std::move(reply)),
                   asio::detached);
}

void Tarvel_XPC::requestFileIO(int64_t operation, Bytes param, ipc::Reply<Bytes, int64_t> reply) {
    asio::co_spawn(parts_.loop,
                   fileIOTask(parts_, id_, operation, std::move(param), std::move(reply)),
                   asio::detached);
}

void Tarvel_XPC::getXPCServiceVersion(ipc::Reply<int64_t> reply) {
    reply(serviceVersion(parts_.infoDictionary));
}

void Tarvel_XPC::filesystemDidUnmount() {
    asio::co_spawn(parts_.loop, unmountNotice(parts_), asio::detached);
}

void Tarvel_XPC::shutdown(ipc::Reply<bool> reply) {
    asio::co_spawn(parts_.loop, shutdownTask(parts_, std::move(reply)), asio::detached);
}

} // namespace brimo
