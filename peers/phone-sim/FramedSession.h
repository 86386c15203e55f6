#pragma once

#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/LoopEvent.h"
#include "peers/phone-sim/PhoneStorage.h"
#include "service/tunnel/TunnelEngine.h"

#include <asio/awaitable.hpp>
#include <memory>
#include <string>

namespace brimo::sim {

class DevicePipe;
class FramedPhoneApp;

// One framed connection to the phone app: a server-role tunnel engine over the device pipe
// that answers through the app, applies the device's scripted faults to each request and
// sends the pushes aimed at the device.
class FramedSession {
public:
    // `pending` holds the bytes already read while the protocol was being detected.
    FramedSession(DevicePipe& pipe, std::string pending, FramedPhoneApp& app,
                  DeviceRegistry& registry, DeviceInfo device);

    // Serves until the connection ends; returns only once nothing uses the pipe any more.
    asio::awaitable<void> run();

private:
    asio::awaitable<TunnelMessage> serve(uint16_t code, Bytes payload);
    void dropDevice(uint16_t code);

    DevicePipe& pipe_;
    std::string pending_;
    FramedPhoneApp& app_;
    DeviceRegistry& registry_;
    const DeviceInfo device_;
    std::shared_ptr<InFlight> inFlight_;
    // Set once the engine has let go of the connection: requests held back by a fault give up.
    LoopEvent ended_;
    // Declared before the engine, so that no request can outlive them.
    StagedWrites writes_;
    TunnelEngine engine_;
};

} // namespace brimo::sim
