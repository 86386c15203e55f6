#include "app/XPCClient.h"

#include "app/IpcThread.h"
#include "app/XPCAppClientObject.h"
#include "shared/BridgeContract.h"
#include "shared/BundleInfo.h"
#include "shared/Log.h"
#include "shared/ipc/Names.h"

#include <asio/post.hpp>
#include <condition_variable>
#include <mutex>

namespace brimo::app {

using log::appLog;
using namespace std::chrono_literals;

namespace {

constexpr auto kStuckServicePause = 400ms;
constexpr auto kStaleServicePause = 200ms;
constexpr auto kRelocateVersionWait = 800ms;

// The first of a call's answer and its timer decides; the other finds nothing left to do.
// Lives on the main thread; only references to it travel through the IPC loop.
template <class T> struct Race {
    std::function<void(T)> done;
    std::shared_ptr<AppTimer> timer;

    void finish(T value) {
        if (!done) return;
        if (auto t = std::exchange(timer, nullptr)) t->cancel();
        std::exchange(done, nullptr)(std::move(value));
    }
};

template <class T>
std::shared_ptr<Race<T>> startRace(AppClock& clock, std::chrono::milliseconds timeout, T onTimeout,
                                   std::function<void(T)> done) {
    auto race = std::make_shared<Race<T>>();
    race->done = std::move(done);
    race->timer = clock.after(timeout, [race, onTimeout] { race->finish(onTimeout); });
    return race;
}

std::string describe(const ipc::RemoteError& error) {
    return error.message.empty() ? error.name : error.message;
}

const char* yesNo(bool value) {
    return value ? "true" : "false";
}

} // namespace

std::shared_ptr<XPCClient> XPCClient::create(Dependencies dependencies) {
    return std::shared_ptr<XPCClient>(new XPCClient(std::move(dependencies)));
}

XPCClient::XPCClient(Dependencies dependencies)
    : deps_(std::move(dependencies)) {
    if (deps_.connectOptions) {
        connectOptions_ = *deps_.connectOptions;
    } else {
        const auto service = deps_.bundle.contents() / "XPCServices" / "BrimoService.xpc" /
                             "Contents" / "MacOS" / "BrimoService";
        connectOptions_.launcher = std::make_shared<ipc::ExecutableLauncher>(service.string());
    }
}

XPCClient::~XPCClient() {
    for (auto& timer : {reconnectTimer_, pauseTimer_})
        if (timer) timer->cancel();
    releaseConnection();
}

void XPCClient::connect() {
    if (connection_) return;
    appLog.info("connecting to bridge %s", ipc::kServiceName);
    if (!exported_) {
        exported_ = std::make_shared<XPCAppClientObject>(
            [weak = weak_from_this()](int64_t code, Bytes payload) {
                onMainThread([weak, code, payload = std::move(payload)] {
                    if (auto self = weak.lock()) self->handleNotification(code, payload);
                });
            });
    }
    auto connection = ipc::ClientConnection::connect(deps_.ipc, ipc::kServiceName, connectOptions_);
    connection_ = connection;
    // Handlers run on the loop; they reach this client on the main thread, and only for the
    // connection they belong to, named by its number: the main thread never holds a reference
    // of its own to a connection, whose last one must go on the loop.
    const uint64_t generation = ++connectionGeneration_;
    asio::post(deps_.ipc, [connection, exported = exported_, weak = weak_from_this(), generation] {
        connection->setExportedObject(exported);
        connection->setInvalidationHandler([weak, generation] {
            appLog.error("bridge connection invalidated");
            onMainThread([weak, generation] {
                if (auto self = weak.lock()) self->connectionInvalidated(generation);
            });
        });
        connection->setInterruptionHandler([weak, generation] {
            appLog.error("bridge connection interrupted");
            onMainThread([weak, generation] {
                if (auto self = weak.lock()) self->connectionInterrupted(generation);
            });
        });
        connection->resume();
    });
}

void XPCClient::releaseConnection() {
    if (auto connection = std::exchange(connection_, nullptr))
        asio::post(deps_.ipc, [connection = std::move(connection)] {});
}

void XPCClient::disconnect() {
    auto connection = std::exchange(connection_, nullptr);
    if (!connection) return;
    asio::post(deps_.ipc, [connection = std::move(connection)] {
        connection->setInvalidationHandler(nullptr);
        connection->setInterruptionHandler(nullptr);
        connection->invalidate();
    });
    onMainThread([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deps_.state.setConnected(false);
    });
    appLog.info("bridge connection invalidated by host");
}

bool XPCClient::withProxy(std::function<void(ipc::RemoteBridgeHost&)> job) {
    if (!connection_) return false;
    asio::post(deps_.ipc, [connection = connection_, job = std::move(job)] {
        auto proxy = connection->remoteObjectProxy([](const ipc::RemoteError& error) {
            appLog.error("bridge proxy error: %s", describe(error).c_str());
        });
        job(proxy);
    });
    return true;
}

void XPCClient::registerAsDesktopApp() {
    const bool sent = withProxy([weak = weak_from_this()](ipc::RemoteBridgeHost& host) {
        host.registerClient(static_cast<int64_t>(TarvelBridgeClientRole::desktopApp),
                            [weak](bool registered) {
                                appLog.info("registerClient desktopApp: %s", yesNo(registered));
                                onMainThread([weak, registered] {
                                    if (auto self = weak.lock())
                                        self->deps_.state.setConnected(registered);
                                });
                            });
    });
    if (!sent) appLog.error("failed to create bridge proxy");
}

void XPCClient::connectionInvalidated(uint64_t generation) {
    // A newer connection may have replaced this one meanwhile: it stays.
    if (generation == connectionGeneration_) releaseConnection();
    deps_.state.setConnected(false);
}

void XPCClient::connectionInterrupted(uint64_t generation) {
    if (!connection_ || generation != connectionGeneration_) return;
    deps_.state.setConnected(false);
    if (suppressReconnect_) return;
    // One wait at a time: a second interruption during it is covered by its checks.
    if (reconnectTimer_) return;
    appLog.info("bridge reconnect — waiting before process check");
    reconnectTimer_ = deps_.clock.after(kReconnectWait, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->reconnectAfterWait();
    });
}

void XPCClient::reconnectAfterWait() {
    reconnectTimer_ = nullptr;
    if (suppressReconnect_) {
        appLog.info("bridge reconnect — suppressed");
        return;
    }
    if (deps_.teardown.isServiceProcessRunning()) {
        appLog.info("bridge reconnect — XPC process still running, skip relaunch");
        // Someone else started it again: the kept connection connects on its next message,
        // and the app is the desktop app there again.
        registerAsDesktopApp();
        return;
    }
    appLog.info("bridge reconnect — XPC process gone, relaunching");
    disconnect();
    connect();
    registerAsDesktopApp();
}

void XPCClient::fetchServiceVersion(std::chrono::milliseconds timeout,
                                    std::function<void(std::optional<int64_t>)> done) {
    if (!connection_) return done(std::nullopt);
    auto race =
        startRace<std::optional<int64_t>>(deps_.clock, timeout, std::nullopt, std::move(done));
    withProxy([race](ipc::RemoteBridgeHost& host) {
        host.getXPCServiceVersion(
            [race](int64_t version) { onMainThread([race, version] { race->finish(version); }); });
    });
}

void XPCClient::shutdownService(std::chrono::milliseconds timeout, std::function<void(bool)> done) {
    if (!connection_) {
        appLog.info("shutdown skipped — no bridge proxy");
        return done(true);
    }
    auto race = startRace<bool>(deps_.clock, timeout, false, std::move(done));
    withProxy([race](ipc::RemoteBridgeHost& host) {
        host.shutdown([race](bool ok) { onMainThread([race, ok] { race->finish(ok); }); });
    });
}

int64_t XPCClient::appVersion() const {
    return parseBundleVersion(deps_.bundle.infoString("CFBundleVersion").value_or("0"));
}

void XPCClient::startAndVerifyService(std::function<void()> done) {
    if (!done) done = [] {};
    connect();
    const int64_t app = appVersion();
    fetchServiceVersion(kVersionTimeout, [weak = weak_from_this(), app,
                                          done = std::move(done)](std::optional<int64_t> service) {
        auto self = weak.lock();
        if (!self) return done();
        if (!service) {
            appLog.error("getXPCServiceVersion failed — resetting launchd XPC registration and "
                         "retrying");
            self->disconnect();
            return self->resetAndRetry(kStuckServicePause, done);
        }
        appLog.info("XPC version check app=%ld xpc=%ld", long(app), long(*service));
        if (*service >= app) {
            self->registerAsDesktopApp();
            return done();
        }
        appLog.info("stale XPC service detected — shutdown and relaunch");
        self->shutdownService(kShutdownTimeout, [weak, done](bool) {
            auto self = weak.lock();
            if (!self) return done();
            self->disconnect();
            self->resetAndRetry(kStaleServicePause, done);
        });
    });
}

void XPCClient::resetAndRetry(std::chrono::milliseconds pause, std::function<void()> done) {
    deps_.teardown.killLeftoverHelpers();
    deps_.teardown.bootoutService();
    pauseTimer_ = deps_.clock.after(pause, [weak = weak_from_this(), done = std::move(done)] {
        if (auto self = weak.lock()) {
            self->connect();
            self->registerAsDesktopApp();
        }
        done();
    });
}

void XPCClient::resetServiceBeforeRelocate() {
    appLog.info("unsticking launchd XPC registration before relocate");
    suppressReconnect_ = true;
    disconnect();
    deps_.teardown.killLeftoverHelpers();
    connect();

    // The reply only tells that the service runs again; it may come from the loop after the
    // wait is over, so what it signals is shared.
    struct Signal {
        std::mutex mutex;
        std::condition_variable changed;
        bool answered = false;
    };
    auto signal = std::make_shared<Signal>();
    const bool asked = withProxy([signal](ipc::RemoteBridgeHost& host) {
        host.getXPCServiceVersion([signal](int64_t) {
            std::lock_guard lock(signal->mutex);
            signal->answered = true;
            signal->changed.notify_all();
        });
    });
    if (asked) {
        std::unique_lock lock(signal->mutex);
        signal->changed.wait_for(lock, kRelocateVersionWait, [&] { return signal->answered; });
    }
    disconnect();
    deps_.teardown.bootoutService();
}

void XPCClient::handleNotification(int64_t code, const Bytes& payload) {
    if (bridgeNotifyMessageFromRaw(code) != BridgeNotifyMessage::bridgeStateChanged) return;
    const auto state = decodeNotifyBridgeStateChangedPayload(payload);
    if (!state || state->source < 0 || state->source > 2) return;
    appLog.info("bridge state updated, source=%ld connected=%s", long(state->source),
                yesNo(state->connected));
    if (state->source == static_cast<int64_t>(TarvelBridgeClientRole::iOS))
        deps_.state.setHasIOSConnection(state->connected);
    else if (state->source == static_cast<int64_t>(TarvelBridgeClientRole::fileProvider))
        deps_.state.setHasFileProviderConnection(state->connected);
}

} // namespace brimo::app
