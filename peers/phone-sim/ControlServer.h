#pragma once

#include <functional>
#include <memory>
#include <string>

namespace asio {
class io_context;
}

namespace brimo::sim {

class DeviceRegistry;

// Serves the control language (ControlCommands) on a Unix socket: text lines in, one reply
// line out per command, any number of commands per connection.
class ControlServer {
public:
    // Listens at once; throws std::runtime_error when the socket cannot be bound. `onQuit` runs
    // after the reply to "quit" has been written.
    ControlServer(asio::io_context& io, DeviceRegistry& registry, const std::string& socketPath,
                  std::function<void()> onQuit);
    ~ControlServer();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace brimo::sim
