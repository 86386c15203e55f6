#include "service/BridgeCore.h"

#include "service/RelayProbeCoordinator.h"
#include "service/tunnel/TunnelEngine.h"
#include "shared/EventLoop.h"
#include "shared/Log.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <atomic>

namespace brimo {

using log::xpcLog;

namespace {
constexpr int32_t kDeviceRemoved = 2;
}

namespace {
// The coordinator reads the core, so it is looked up only when an event arrives.
struct SharedProbe final : UsbLinkObserver {
    void usbConnected() override { RelayProbeCoordinator::shared().usbConnected(); }
    void usbDisconnected() override { RelayProbeCoordinator::shared().usbDisconnected(); }
};
} // namespace

HostID newHostID() {
    static std::atomic<HostID> last{0};
    return ++last;
}

BridgeCore& BridgeCore::shared() {
    static SharedProbe probe;
    static BridgeCore core(mainLoop().get_executor(), UsbMuxService::shared(),
                           TunnelEngine::shared(), probe);
    return core;
}

BridgeCore::BridgeCore(asio::any_io_executor loop, UsbMuxService& usbMux, TunnelEngine& engine,
                       UsbLinkObserver& probe)
    : loop_(std::move(loop))
    , usbMux_(usbMux)
    , engine_(engine)
    , probe_(probe) {}

void BridgeCore::bootstrapUsbMux() {
    {
        std::lock_guard guard(lock_);
        if (usbMuxBootstrapped_) return;
        usbMuxBootstrapped_ = true;
    }
    xpcLog.info("bootstrapping UsbMuxService");
    asio::co_spawn(
        loop_,
        [this]() -> asio::awaitable<void> {
            UsbMuxService::DeviceEventHandler handler =
                [this](const UsbMuxService::DeviceEvent& event) { handleDeviceEvent(event); };
            co_await usbMux_.setDeviceEventHandler(std::move(handler));
            try {
                co_await usbMux_.start();
                xpcLog.info("UsbMuxService started");
            } catch (const UsbMuxService::Failure& failure) {
                xpcLog.error("UsbMuxService start failed: %s", failure.what());
            }
        },
        asio::detached);
}

void BridgeCore::handleDeviceEvent(const UsbMuxService::DeviceEvent& event) {
    xpcLog.info("usb device event type=%d udid=%s", event.eventType, event.udid.c_str());
    std::lock_guard guard(lock_);
    if (event.eventType == kDeviceRemoved) {
        usbMuxConnection_.reset();
        asio::co_spawn(
            loop_,
            [this]() -> asio::awaitable<void> {
                co_await engine_.stop();
                probe_.usbDisconnected();
            },
            asio::detached);
    } else {
        usbMuxConnection_ = event.udid;
        asio::post(loop_, [this] { probe_.usbConnected(); });
    }
    publishState(TarvelBridgeClientRole::iOS);
}

void BridgeCore::addPending(std::shared_ptr<BridgeClientConnection> connection) {
    std::lock_guard guard(lock_);
    HostID host = connection->exportedObject();
    pendingByHost_[host] = std::move(connection);
}

bool BridgeCore::registerClient(HostID host, int64_t role) {
    std::lock_guard guard(lock_);
    std::shared_ptr<BridgeClientConnection> connection;
    if (auto pending = pendingByHost_.find(host); pending != pendingByHost_.end()) {
        connection = std::move(pending->second);
        pendingByHost_.erase(pending);
    } else {
        // A client registering again, possibly under another role.
        for (auto entry = byRole_.begin(); entry != byRole_.end(); ++entry) {
            if (entry->second->exportedObject() != host) continue;
            connection = entry->second;
            if (entry->first != role) byRole_.erase(entry);
            break;
        }
        if (!connection) return false;
    }
    byRole_[role] = std::move(connection);
    if (role == static_cast<int64_t>(TarvelBridgeClientRole::desktopApp))
        xpcLog.info("desktop app registered");
    else if (role == static_cast<int64_t>(TarvelBridgeClientRole::fileProvider))
        xpcLog.info("file provider registered");
    publishState(TarvelBridgeClientRole::fileProvider);
    publishState(TarvelBridgeClientRole::iOS);
    return true;
}

void BridgeCore::connectionClosed(const BridgeClientConnection* connection) {
    std::lock_guard guard(lock_);
    std::erase_if(pendingByHost_,
                  [connection](const auto& entry) { return entry.second.get() == connection; });
    for (auto role : {TarvelBridgeClientRole::fileProvider, TarvelBridgeClientRole::desktopApp}) {
        auto entry = byRole_.find(static_cast<int64_t>(role));
        if (entry == byRole_.end() || entry->second.get() != connection) continue;
        byRole_.erase(entry);
        xpcLog.info(role == TarvelBridgeClientRole::fileProvider ? "file provider disconnected"
                                                                 : "desktop app disconnected");
        publishState(role);
    }
}

std::optional<int64_t> BridgeCore::role(HostID host) {
    std::lock_guard guard(lock_);
    for (const auto& [role, connection] : byRole_)
        if (connection->exportedObject() == host) return role;
    return std::nullopt;
}

bool BridgeCore::mayMoveData(HostID host) {
    const auto registered = role(host);
    return registered == static_cast<int64_t>(TarvelBridgeClientRole::fileProvider) ||
           registered == static_cast<int64_t>(TarvelBridgeClientRole::desktopApp);
}

std::shared_ptr<BridgeClientProxy> BridgeCore::proxy(int64_t role,
                                                     std::function<void()> onFailure) {
    std::lock_guard guard(lock_);
    auto entry = byRole_.find(role);
    if (entry == byRole_.end()) return nullptr;
    return entry->second->remoteProxy([role, onFailure = std::move(onFailure)](
                                          const std::string& description) {
        xpcLog.error("client proxy error (%ld): %s", static_cast<long>(role), description.c_str());
        if (onFailure) onFailure();
    });
}

std::optional<std::string> BridgeCore::usbMuxConnection() {
    std::lock_guard guard(lock_);
    return usbMuxConnection_;
}

void BridgeCore::publishState(TarvelBridgeClientRole source) {
    switch (source) {
    case TarvelBridgeClientRole::iOS: {
        const bool connected = usbMuxConnection_.has_value();
        send(static_cast<int64_t>(TarvelBridgeClientRole::desktopApp), {2, connected});
        send(static_cast<int64_t>(TarvelBridgeClientRole::fileProvider), {2, connected});
        break;
    }
    case TarvelBridgeClientRole::fileProvider: {
        const bool connected =
            byRole_.contains(static_cast<int64_t>(TarvelBridgeClientRole::fileProvider));
        send(static_cast<int64_t>(TarvelBridgeClientRole::desktopApp), {0, connected});
        break;
    }
    case TarvelBridgeClientRole::desktopApp:
        break;
    }
}

// Runs later on the loop, outside the lock; the notification is dropped when no client holds
// the role by then.
void BridgeCore::send(int64_t targetRole, NotifyBridgeStateChangedPayload payload) {
    asio::post(loop_, [this, targetRole, payload] {
        if (auto client = proxy(targetRole))
            client->notifyClient(static_cast<int64_t>(BridgeNotifyMessage::bridgeStateChanged),
                                 encodeJson(payload));
    });
}

} // namespace brimo
