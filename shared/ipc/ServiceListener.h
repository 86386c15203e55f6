#pragma once

#include "shared/ipc/ServiceConnection.h"

#include <asio/any_io_executor.hpp>
#include <memory>
#include <string>

namespace brimo::ipc {

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    // Sets up and resumes the connection and returns true, or returns false to drop it.
    virtual bool shouldAcceptNewConnection(const std::shared_ptr<ServiceConnection>& conn) = 0;
};

// The service's accept loop on the process's loop. Uses the listening socket systemd passed
// (socket activation) when there is one; otherwise binds `socketPath` itself (mode 0600, parent
// directory created 0700), guarded by an flock'ed "<socketPath>.lock" so that a second instance
// refuses to start, and replacing a socket file a dead instance left behind. Peers of another
// uid are closed before any message is read.
class ServiceListener {
public:
    ServiceListener(asio::any_io_executor loop, std::string socketPath);
    ~ServiceListener();
    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;

    void setDelegate(std::shared_ptr<ListenerDelegate> delegate);
    // Starts accepting. Throws std::system_error (EADDRINUSE when another instance serves the
    // path).
    void resume();
    // Stops accepting, invalidates every connection and removes the socket it bound.
    void invalidate();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace brimo::ipc
