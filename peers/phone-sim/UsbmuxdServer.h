#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace brimo::sim {

class DeviceRegistry;
class FramedPhoneApp;

// The fake usbmux daemon: accepts libusbmuxd clients on a Unix socket and answers ListDevices,
// Listen, Connect, ReadBUID and ReadPairRecord the way the real daemon does. A successful
// Connect to the phone app's port turns the client's socket into a pipe to the simulated app,
// whose framed requests `app` answers.
class UsbmuxdServer {
public:
    // Listens at once; throws std::runtime_error when the socket cannot be bound.
    UsbmuxdServer(asio::io_context& io, DeviceRegistry& registry, FramedPhoneApp& app,
                  const std::string& socketPath);
    ~UsbmuxdServer();

    static constexpr uint16_t kAppPort = 33325;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace brimo::sim
