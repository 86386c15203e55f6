// BrimoService: the bridge service. Starts watching for phones at once, then serves its clients
// on the service socket until it is ended.

#include "service/BridgeCore.h"
#include "service/MountService.h"
#include "service/RelayProbeCoordinator.h"
#include "service/ServiceDelegate.h"
#include "service/ServiceHostServices.h"
#include "service/ServiceVersion.h"
#include "service/TransferCoordinator.h"
#include "service/TunnelRelayBridge.h"
#include "shared/EventLoop.h"
#include "shared/LargeBuffers.h"
#include "shared/Log.h"
#include "shared/ipc/Names.h"

#include "service/tunnel/TunnelEngine.h"
#include "service/usbmuxkit/usbmuxkit.h"
#include "shared/Offload.h"

#include <asio/co_spawn.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <cstdlib>
#include <future>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Ends the native layer's threads (device events, tunnel sessions) and the blocking pool before
// anything they use goes away. A worker blocked in a system call cannot be interrupted; it must
// not keep a service that was asked to end alive.
void stopThreads(std::chrono::milliseconds grace) {
    usbmux_mgr_shutdown();
    brimo::blockingPool().stop();
    auto joined = std::make_shared<std::promise<void>>();
    auto done = joined->get_future();
    std::thread([joined] {
        brimo::blockingPool().join();
        joined->set_value();
    }).detach();
    if (done.wait_for(grace) == std::future_status::ready) return;
    brimo::log::xpcLog.error("blocking work still running at exit; ending anyway");
    std::_Exit(0);
}

} // namespace

int main() {
    using namespace brimo;
    keepLargeBuffersInHeap();
    auto& loop = mainLoop();
    BridgeCore& core = BridgeCore::shared();
    core.bootstrapUsbMux();

    TunnelRelayBridge& relay = TunnelRelayBridge::shared();
    static ServiceHostServices services(relay, MountService::shared(),
                                        RelayProbeCoordinator::shared());
    ipc::ServiceListener listener(loop.get_executor(), ipc::serviceSocketPath(ipc::kServiceName));
    listener.setDelegate(std::make_shared<ServiceDelegate>(
        HostParts{loop.get_executor(), core, relay, TransferCoordinator::shared(),
                  UsbMuxService::shared(), services, serviceInfoDictionaryPath()}));
    try {
        listener.resume();
    } catch (const std::system_error& error) {
        log::xpcLog.error("cannot serve %s: %s", ipc::kServiceName, error.what());
        return 1;
    }

    // Ended by the session (systemd or a signal), in order: stop accepting and invalidate every
    // connection (the listener removes its socket), fail what waits on the phone and close its
    // stream, then stop the threads. A stop that hangs is cut short.
    asio::signal_set signals(loop, SIGINT, SIGTERM);
    asio::steady_timer deadline(loop);
    signals.async_wait([&](const std::error_code& error, int) {
        if (error) return;
        listener.invalidate();
        asio::co_spawn(loop, TunnelEngine::shared().stop(),
                       [&](std::exception_ptr) { loop.stop(); });
        deadline.expires_after(2s);
        deadline.async_wait([&](const std::error_code& cancelled) {
            if (!cancelled) loop.stop();
        });
    });
    loop.run();
    stopThreads(2s);
    return 0;
}
