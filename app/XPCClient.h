#pragma once

#include "app/AppClock.h"
#include "app/AppLifecycleTeardown.h"
#include "app/MainBundle.h"
#include "app/XPCClientState.h"
#include "shared/Bytes.h"
#include "shared/ipc/ClientConnection.h"

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The app's one link to the bridge service: connects, registers as the desktop app, checks that
// the service is not older than the app, resets a stale or stuck service, reconnects after the
// service went away, and turns the service's notifications into XPCClientState.
//
// Used on the main thread only. The connection itself lives on the IPC loop; its handlers and
// replies come back to the main thread, and never reach a client that is gone.
namespace brimo::app {

class XPCAppClientObject;

class XPCClient : public std::enable_shared_from_this<XPCClient> {
public:
    struct Dependencies {
        asio::any_io_executor ipc;
        XPCClientState& state;
        AppLifecycleTeardown& teardown;
        AppClock& clock;
        // Gives the app's CFBundleVersion and, by default, the service started on demand.
        MainBundle bundle = MainBundle::current();
        // Default: start the bundle's BrimoService when nobody listens.
        std::optional<ipc::ConnectOptions> connectOptions;
    };

    static constexpr std::chrono::milliseconds kVersionTimeout{1000};
    static constexpr std::chrono::milliseconds kShutdownTimeout{3000};
    static constexpr std::chrono::milliseconds kReconnectWait{10000};

    static std::shared_ptr<XPCClient> create(Dependencies dependencies);
    ~XPCClient();
    XPCClient(const XPCClient&) = delete;
    XPCClient& operator=(const XPCClient&) = delete;

    // Creates and resumes the connection unless there is one; it connects on its first message.
    void connect();
    // Ends the connection from the app's side; its handlers do not fire for it.
    void disconnect();
    void registerAsDesktopApp();
    // The service's version, or none on time-out or with no connection.
    void fetchServiceVersion(std::chrono::milliseconds timeout,
                             std::function<void(std::optional<int64_t>)> done);
    // Asks the service to shut down; false on time-out, true when there is no connection.
    void shutdownService(std::chrono::milliseconds timeout, std::function<void(bool)> done);
    // Connect, compare versions, register, or reset a stale or silent service first. `done`
    // runs when the sequence has ended.
    void startAndVerifyService(std::function<void()> done = {});
    // Before the app relocates itself: no more reconnects, the service's processes killed and
    // its jobs booted out. Blocks for at most 800 ms plus the tools' run time.
    void resetServiceBeforeRelocate();

    bool hasConnection() const { return connection_ != nullptr; }
    bool reconnectSuppressed() const { return suppressReconnect_; }

private:
    explicit XPCClient(Dependencies dependencies);

    // Runs `job` on the IPC loop with the current connection's proxy; nothing without one.
    bool withProxy(std::function<void(ipc::RemoteBridgeHost&)> job);
    void connectionInvalidated(uint64_t generation);
    void connectionInterrupted(uint64_t generation);
    // Forgets the connection; it is only touched, and so only destroyed, on its loop.
    void releaseConnection();
    void reconnectAfterWait();
    void handleNotification(int64_t code, const Bytes& payload);
    // Kills and boots out the service, pauses, then connects and registers once more.
    void resetAndRetry(std::chrono::milliseconds pause, std::function<void()> done);
    int64_t appVersion() const;

    Dependencies deps_;
    ipc::ConnectOptions connectOptions_;
    std::shared_ptr<ipc::ClientConnection> connection_;
    uint64_t connectionGeneration_ = 0; // of the newest connection made
    std::shared_ptr<XPCAppClientObject> exported_;
    std::shared_ptr<AppTimer> reconnectTimer_;
    std::shared_ptr<AppTimer> pauseTimer_;
    bool suppressReconnect_ = false;
};

} // namespace brimo::app
