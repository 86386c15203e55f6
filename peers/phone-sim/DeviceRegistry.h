#pragma once

#include "peers/phone-sim/DeviceFaults.h"
#include "peers/phone-sim/RateLimiter.h"
#include "shared/Bytes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brimo::sim {

struct DeviceInfo {
    std::string udid;
    uint32_t id = 0;
    uint32_t locationId = 0;
};

struct DeviceEvent {
    enum class Kind { attached, detached };
    Kind kind;
    DeviceInfo device;
};

struct SimStats {
    uint64_t listens = 0;
    uint64_t lists = 0;
    uint64_t connects = 0;
    uint64_t unmountsNoted = 0; // framed requests telling the phone the volume went away
    // Framed requests answered, by request code; those a fault holds back are not answered.
    std::map<uint16_t, uint64_t> answered;
    uint64_t readChunkBytes = 0; // file bytes carried by successful read-chunk answers

    void countAnswer(uint16_t code) { ++answered[code]; }
};

// The simulated phones and everything attached to them: Listen subscribers, open device pipes,
// scripted faults and the cable's rate limiter. Used only from the simulator's loop thread.
class DeviceRegistry {
public:
    using EventHandler = std::function<void(const DeviceEvent&)>;

    explicit DeviceRegistry(std::optional<double> linkRate = std::nullopt);

    // Each attach gets a fresh device id. Nothing when the UDID is already attached.
    std::optional<uint32_t> attach(const std::string& udid);
    // Also closes the device's open pipes. False when the UDID is not attached.
    bool detach(const std::string& udid);

    const std::vector<DeviceInfo>& devices() const { return devices_; }
    const DeviceInfo* findById(uint64_t id) const;
    const DeviceInfo* findByUdid(const std::string& udid) const;

    // Faults are kept per UDID for the life of the process, across reconnects and re-attaches.
    std::shared_ptr<DeviceFaults> faults(const std::string& udid);
    // The cable of an attached device; null when the link is not throttled.
    std::shared_ptr<RateLimiter> link(uint32_t deviceId) const;

    // The handler runs for every later attach and detach until unsubscribe.
    uint64_t subscribe(EventHandler handler);
    void unsubscribe(uint64_t subscription);

    // Registers an open pipe to a device; `close` is called if the device goes away first.
    uint64_t addPipe(uint32_t deviceId, std::function<void()> close);
    void removePipe(uint64_t pipe);
    size_t openPipes() const { return pipes_.size(); }

    // Registers an open framed connection to a device, which pushes take as a target. A target
    // returns whether it queued the notification.
    using PushTarget = std::function<bool(uint16_t code, const Bytes& payload)>;
    uint64_t addPushTarget(uint32_t deviceId, PushTarget target);
    void removePushTarget(uint64_t target);
    // Hands the notification to every framed connection of the device; returns how many took it.
    size_t push(uint32_t deviceId, uint16_t code, const Bytes& payload);

    SimStats& stats() { return stats_; }

private:
    struct Pipe {
        uint32_t deviceId;
        std::function<void()> close;
    };

    void publish(const DeviceEvent& event);

    std::optional<double> linkRate_;
    uint32_t nextDeviceId_ = 1;
    uint64_t nextHandle_ = 1;
    std::vector<DeviceInfo> devices_;
    std::map<uint32_t, std::shared_ptr<RateLimiter>> links_;
    std::map<std::string, std::shared_ptr<DeviceFaults>> faults_;
    std::map<uint64_t, EventHandler> subscribers_;
    std::map<uint64_t, Pipe> pipes_;
    std::map<uint64_t, std::pair<uint32_t, PushTarget>> pushTargets_;
    SimStats stats_;
};

} // namespace brimo::sim
