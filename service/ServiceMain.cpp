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

#include <asio/signal_set.hpp>
#include <system_error>

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

    // Ended by the session (systemd or a signal); the listener removes its socket on the way out.
    asio::signal_set stop(loop, SIGINT, SIGTERM);
    stop.async_wait([&](const std::error_code&, int) {
        listener.invalidate();
        loop.stop();
    });
    loop.run();
    return 0;
}
