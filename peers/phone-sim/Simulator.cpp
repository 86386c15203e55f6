#include "peers/phone-sim/Simulator.h"

#include "peers/phone-sim/ControlServer.h"
#include "peers/phone-sim/DeviceRegistry.h"
#include "peers/phone-sim/FramedPhoneApp.h"
#include "peers/phone-sim/SimLog.h"
#include "peers/phone-sim/UsbmuxdServer.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <optional>

namespace brimo::sim {

namespace {

// The phone's storage, created if missing; none without --root.
std::unique_ptr<PhoneStorage> openStorage(const std::string& root) {
    if (root.empty()) return nullptr;
    std::filesystem::create_directories(root);
    if (!std::filesystem::is_directory(root))
        throw std::runtime_error(root + " is not a directory");
    return std::make_unique<PhoneStorage>(root);
}

} // namespace

int runSimulator(const SimOptions& options) {
    // A host that hangs up must not kill the phone.
    std::signal(SIGPIPE, SIG_IGN);
    DeviceRegistry registry(options.linkRate);
    std::optional<FramedPhoneApp> app;
    // Destroyed before the registry: tearing down the sessions still pending in the loop
    // unregisters them there.
    asio::io_context io;
    std::optional<UsbmuxdServer> usbmuxd;
    std::optional<ControlServer> control;
    try {
        app.emplace(openStorage(options.rootDir), registry.stats());
        for (const std::string& udid : options.devices)
            if (!registry.attach(udid)) throw std::runtime_error("device given twice: " + udid);
        usbmuxd.emplace(io, registry, *app, options.socketPath);
        control.emplace(io, registry, options.controlPath, [&io] { io.stop(); });
    } catch (const std::exception& e) {
        simLog.error("%s", e.what());
        std::error_code ignored;
        if (usbmuxd) std::filesystem::remove(options.socketPath, ignored);
        return 1;
    }
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const asio::error_code&, int) { io.stop(); });

    std::cout << "brimo-phone-sim: ready" << std::endl;
    io.run();

    std::error_code ignored;
    std::filesystem::remove(options.socketPath, ignored);
    std::filesystem::remove(options.controlPath, ignored);
    return 0;
}

} // namespace brimo::sim
