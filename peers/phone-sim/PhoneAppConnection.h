#pragma once

#include "peers/phone-sim/DeviceRegistry.h"

#include <asio/awaitable.hpp>

namespace brimo::sim {

class DevicePipe;
class FramedPhoneApp;

// The simulated companion app's side of one connection to its port. The app speaks two
// protocols on that port and tells them apart by the first bytes: the framed tunnel protocol
// starts with the magic "PRTU", anything else is the speed-test line protocol.
class PhoneAppConnection {
public:
    PhoneAppConnection(DevicePipe& pipe, FramedPhoneApp& app, DeviceRegistry& registry,
                       DeviceInfo device)
        : pipe_(pipe)
        , app_(app)
        , registry_(registry)
        , device_(std::move(device)) {}

    // Serves the connection until either side closes it.
    asio::awaitable<void> run();

private:
    DevicePipe& pipe_;
    FramedPhoneApp& app_;
    DeviceRegistry& registry_;
    DeviceInfo device_;
};

} // namespace brimo::sim
