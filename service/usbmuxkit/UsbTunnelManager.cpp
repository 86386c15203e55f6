#include "service/usbmuxkit/UsbTunnelManager.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <usbmuxd.h>

namespace usbmuxkit {
namespace {

struct DeviceRecord {
    uint32_t handle;
    std::string udid;
};

struct SessionKey {
    std::string udid;
    uint16_t port;
    bool operator==(const SessionKey&) const = default;
};

struct SessionKeyHash {
    size_t operator()(const SessionKey& key) const {
        return std::hash<std::string>{}(key.udid) ^ (static_cast<size_t>(key.port) << 16);
    }
};

} // namespace

struct UsbTunnelManager::Impl {
    std::atomic<bool> eventsActive{false};
    std::atomic<bool> dirty{true};

    // Serialises start() and shutdown() as a whole. The library's event thread never takes it,
    // so it may be held while subscribing and unsubscribing; `mutex` may not: the library holds
    // its own lock while it calls handleEvent, which takes `mutex`.
    std::mutex lifecycle;
    std::mutex mutex;
    bool started = false;
    usbmuxd_subscription_context_t subscription = nullptr;
    std::vector<DeviceRecord> devices;
    std::unordered_map<SessionKey, std::shared_ptr<TunnelSession>, SessionKeyHash> sessions;
    DeviceEventCallback callback = nullptr;

    Impl() { sessions.max_load_factor(1.0f); }

    static void eventTrampoline(const usbmuxd_event_t* event, void* context) {
        static_cast<Impl*>(context)->handleEvent(event);
    }

    // Both helpers expect `mutex` to be held.
    void refreshDevices() {
        usbmuxd_device_info_t* list = nullptr;
        const int count = usbmuxd_get_device_list(&list);
        devices.clear();
        if (count > 0) {
            devices.reserve(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i)
                devices.push_back({list[i].handle, std::string(list[i].udid)});
        }
        if (list) usbmuxd_device_list_free(&list);

        std::erase_if(sessions, [this](const auto& entry) {
            const auto& session = entry.second;
            const DeviceRecord* device = find(session->udid());
            const bool keep = device && session->fd() >= 0 &&
                              static_cast<int>(device->handle) == session->handle();
            if (!keep) session->close();
            return !keep;
        });
    }

    void refreshDevicesIfDirty() {
        if (dirty.exchange(false)) refreshDevices();
    }

    const DeviceRecord* find(const std::string& udid) const {
        for (const auto& device : devices)
            if (device.udid == udid) return &device;
        return nullptr;
    }

    std::string resolve(const std::string& udid) const {
        if (!udid.empty()) return udid;
        for (const auto& device : devices)
            if (!device.udid.empty()) return device.udid;
        return {};
    }

    bool connected(const SessionKey& key) const {
        auto it = sessions.find(key);
        if (it == sessions.end()) return false;
        const DeviceRecord* device = find(key.udid);
        return device && it->second->fd() >= 0 &&
               static_cast<int>(device->handle) == it->second->handle();
    }

    void erase(const SessionKey& key) {
        if (auto it = sessions.find(key); it != sessions.end()) {
            it->second->close();
            sessions.erase(it);
        }
    }

    void handleEvent(const usbmuxd_event_t* event) {
        if (!event || !eventsActive.load()) return;
        DeviceEventCallback notify = nullptr;
        {
            std::lock_guard lock(mutex);
            // shutdown() may have begun while this thread waited for the lock.
            if (!eventsActive.load()) return;
            refreshDevices();
            dirty.store(false);
            notify = callback;
        }
        if (notify && event->device.udid[0] != '\0') {
            DeviceEvent out{};
            out.type = event->event;
            std::strncpy(out.udid, event->device.udid, sizeof(out.udid) - 1);
            notify(&out);
        }
    }
};

UsbTunnelManager& UsbTunnelManager::shared() {
    static UsbTunnelManager manager;
    return manager;
}

UsbTunnelManager::UsbTunnelManager()
    : impl_(std::make_unique<Impl>()) {}

UsbTunnelManager::~UsbTunnelManager() {
    shutdown();
}

bool UsbTunnelManager::start() {
    std::lock_guard lifecycle(impl_->lifecycle);
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->started) return true;
        impl_->refreshDevices();
        impl_->dirty.store(false);
    }
    // The library's wait for the daemon watches only the default socket's folder; for a daemon
    // named by USBMUXD_SOCKET_ADDRESS it must poll, or a daemon that starts later (or restarts)
    // would never be seen again.
    if (const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS"); address && *address)
        libusbmuxd_set_use_inotify(0);
    // Active before subscribing, so that a device attached since the refresh above is not missed.
    impl_->eventsActive.store(true);
    usbmuxd_subscription_context_t subscription = nullptr;
    if (usbmuxd_events_subscribe(&subscription, &Impl::eventTrampoline, impl_.get()) != 0) {
        impl_->eventsActive.store(false);
        return false;
    }
    std::lock_guard lock(impl_->mutex);
    impl_->subscription = subscription;
    impl_->started = true;
    return true;
}

void UsbTunnelManager::shutdown() {
    std::lock_guard lifecycle(impl_->lifecycle);
    usbmuxd_subscription_context_t subscription = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->started) return;
        impl_->callback = nullptr;
        impl_->eventsActive.store(false);
        for (auto& [key, session] : impl_->sessions)
            session->close();
        impl_->sessions.clear();
        subscription = std::exchange(impl_->subscription, nullptr);
    }
    // Unsubscribing joins the library's event thread, which may be waiting for `mutex`.
    if (subscription) usbmuxd_events_unsubscribe(subscription);
    std::lock_guard lock(impl_->mutex);
    impl_->started = false;
    impl_->devices.clear();
    impl_->dirty.store(true);
}

void UsbTunnelManager::setDeviceEventCallback(DeviceEventCallback callback) {
    std::lock_guard lock(impl_->mutex);
    impl_->callback = callback;
}

void UsbTunnelManager::clearDeviceEventCallback() {
    setDeviceEventCallback(nullptr);
}

std::vector<std::pair<std::string, uint16_t>> UsbTunnelManager::currentTunnels() {
    std::lock_guard lock(impl_->mutex);
    impl_->refreshDevicesIfDirty();
    std::vector<std::pair<std::string, uint16_t>> tunnels;
    tunnels.reserve(impl_->sessions.size());
    for (const auto& [key, session] : impl_->sessions)
        tunnels.emplace_back(key.udid, key.port);
    return tunnels;
}

bool UsbTunnelManager::isTunnelConnected(const std::string& udid, uint16_t port) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->started) return false;
    impl_->refreshDevicesIfDirty();
    const std::string resolved = impl_->resolve(udid);
    return !resolved.empty() && impl_->connected({resolved, port});
}

bool UsbTunnelManager::ensureTunnel(const std::string& udid, uint16_t port) {
    std::unique_lock lock(impl_->mutex);
    if (!impl_->started) return false;
    impl_->refreshDevicesIfDirty();
    const std::string resolved = impl_->resolve(udid);
    if (resolved.empty()) return false;
    const SessionKey key{resolved, port};
    if (impl_->connected(key)) return true;
    impl_->erase(key);
    const DeviceRecord* device = impl_->find(resolved);
    if (!device) return false;
    const uint32_t handle = device->handle;

    // Connecting can take the library's whole connect time-out; don't hold up other tunnels.
    lock.unlock();
    const int fd = usbmuxd_connect(handle, port);
    if (fd < 0) return false;
    auto session = std::make_shared<TunnelSession>(fd, resolved, static_cast<int>(handle), port);
    lock.lock();
    // A concurrent caller may have connected the same key meanwhile: keep the first one.
    impl_->sessions.try_emplace(key, std::move(session));
    return true;
}

std::shared_ptr<TunnelSession> UsbTunnelManager::sessionFor(const std::string& udid,
                                                            uint16_t port) {
    std::lock_guard lock(impl_->mutex);
    impl_->refreshDevicesIfDirty();
    const std::string resolved = impl_->resolve(udid);
    if (resolved.empty()) return nullptr;
    auto it = impl_->sessions.find({resolved, port});
    return it == impl_->sessions.end() ? nullptr : it->second;
}

void UsbTunnelManager::invalidateSession(const std::string& udid, uint16_t port) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->started) return;
    impl_->refreshDevicesIfDirty();
    const std::string resolved = impl_->resolve(udid);
    if (!resolved.empty()) impl_->erase({resolved, port});
}

} // namespace usbmuxkit
