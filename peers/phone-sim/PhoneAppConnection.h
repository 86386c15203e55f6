#pragma once

#include <asio/awaitable.hpp>

namespace brimo::sim {

class DevicePipe;

// The simulated companion app's side of one connection to its port. The app speaks two
// protocols on that port and tells them apart by the first bytes: the framed tunnel protocol
// starts with the magic "PRTU", anything else is the speed-test line protocol.
class PhoneAppConnection {
public:
    explicit PhoneAppConnection(DevicePipe& pipe)
        : pipe_(pipe) {}

    // Serves the connection until either side closes it.
    asio::awaitable<void> run();

private:
    DevicePipe& pipe_;
};

} // namespace brimo::sim
