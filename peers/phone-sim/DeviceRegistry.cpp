#include "peers/phone-sim/DeviceRegistry.h"

#include <algorithm>

namespace brimo::sim {

namespace {

// Location ids of real devices encode the USB port path; any stable, distinct value will do.
constexpr uint32_t kLocationBase = 0x14100000;

} // namespace

DeviceRegistry::DeviceRegistry(std::optional<double> linkRate)
    : linkRate_(linkRate) {}

std::optional<uint32_t> DeviceRegistry::attach(const std::string& udid) {
    if (findByUdid(udid)) return std::nullopt;
    DeviceInfo device{udid, nextDeviceId_++, 0};
    device.locationId = kLocationBase + (device.id << 8);
    devices_.push_back(device);
    if (linkRate_) links_[device.id] = std::make_shared<RateLimiter>(*linkRate_);
    publish({DeviceEvent::Kind::attached, device});
    return device.id;
}

bool DeviceRegistry::detach(const std::string& udid) {
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [&](const DeviceInfo& d) { return d.udid == udid; });
    if (it == devices_.end()) return false;
    DeviceInfo device = *it;
    devices_.erase(it);
    links_.erase(device.id);
    // Closing only starts the pipes' teardown; each removes itself when its session ends.
    std::vector<std::function<void()>> closers;
    for (auto& [handle, pipe] : pipes_)
        if (pipe.deviceId == device.id) closers.push_back(pipe.close);
    for (auto& close : closers)
        close();
    publish({DeviceEvent::Kind::detached, device});
    return true;
}

const DeviceInfo* DeviceRegistry::findById(uint64_t id) const {
    for (const DeviceInfo& d : devices_)
        if (d.id == id) return &d;
    return nullptr;
}

const DeviceInfo* DeviceRegistry::findByUdid(const std::string& udid) const {
    for (const DeviceInfo& d : devices_)
        if (d.udid == udid) return &d;
    return nullptr;
}

std::shared_ptr<DeviceFaults> DeviceRegistry::faults(const std::string& udid) {
    auto& slot = faults_[udid];
    if (!slot) slot = std::make_shared<DeviceFaults>();
    return slot;
}

std::shared_ptr<RateLimiter> DeviceRegistry::link(uint32_t deviceId) const {
    auto it = links_.find(deviceId);
    return it == links_.end() ? nullptr : it->second;
}

uint64_t DeviceRegistry::subscribe(EventHandler handler) {
    uint64_t handle = nextHandle_++;
    subscribers_.emplace(handle, std::move(handler));
    return handle;
}

void DeviceRegistry::unsubscribe(uint64_t subscription) {
    subscribers_.erase(subscription);
}

uint64_t DeviceRegistry::addPipe(uint32_t deviceId, std::function<void()> close) {
    uint64_t handle = nextHandle_++;
    pipes_.emplace(handle, Pipe{deviceId, std::move(close)});
    return handle;
}

void DeviceRegistry::removePipe(uint64_t pipe) {
    pipes_.erase(pipe);
}

uint64_t DeviceRegistry::addPushTarget(uint32_t deviceId, PushTarget target) {
    uint64_t handle = nextHandle_++;
    pushTargets_.emplace(handle, std::pair{deviceId, std::move(target)});
    return handle;
}

void DeviceRegistry::removePushTarget(uint64_t target) {
    pushTargets_.erase(target);
}

size_t DeviceRegistry::push(uint32_t deviceId, uint16_t code, const Bytes& payload) {
    size_t reached = 0;
    for (auto& [handle, target] : pushTargets_) {
        if (target.first == deviceId && target.second(code, payload)) ++reached;
    }
    return reached;
}

void DeviceRegistry::publish(const DeviceEvent& event) {
    for (auto& [handle, handler] : subscribers_)
        handler(event);
}

} // namespace brimo::sim
