#include "service/RelayProbeCoordinator.h"

#include "service/TunnelRelayBridge.h"
#include "shared/EventLoop.h"
#include "shared/Log.h"
#include "shared/Race.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

namespace brimo {

using log::xpcLog;
using namespace std::chrono_literals;

namespace {
constexpr uint16_t kProbeCode = 0;
constexpr Clock::duration kReachablePause = 3s;
constexpr Clock::duration kRetryPause = 500ms;
constexpr Clock::duration kKeepaliveWindow = 3s;
constexpr long kMissLimit = 3;
// A phone that keeps the tunnel open but stops answering would otherwise hold a loop forever,
// and with it a mounted volume whose reads wait on nobody.
constexpr Clock::duration kPingTimeLimit = 3s;
} // namespace

RelayProbeCoordinator& RelayProbeCoordinator::shared() {
    static RelayProbeCoordinator coordinator(mainLoop().get_executor(), Clock::current(),
                                             BridgeCore::shared(), TunnelRelayBridge::shared(),
                                             MountService::shared());
    return coordinator;
}

RelayProbeCoordinator::RelayProbeCoordinator(asio::any_io_executor loop, Clock& clock,
                                             BridgeCore& core, TunnelRelayBridge& relay,
                                             MountService& mounts)
    : loop_(std::move(loop))
    , clock_(clock)
    , core_(core)
    , relay_(relay)
    , mounts_(mounts) {}

void RelayProbeCoordinator::usbConnected() {
    asio::co_spawn(loop_, onUsbConnected(), asio::detached);
}

void RelayProbeCoordinator::usbDisconnected() {
    asio::co_spawn(loop_, onUsbDisconnected(), asio::detached);
}

void RelayProbeCoordinator::volumeMounted() {
    asio::co_spawn(loop_, onVolumeMounted(), asio::detached);
}

void RelayProbeCoordinator::volumeUnmounted() {
    asio::co_spawn(loop_, onVolumeUnmounted(), asio::detached);
}

asio::awaitable<void> RelayProbeCoordinator::onUsbConnected() {
    if (!mounts_.isMounted()) {
        startProbe();
        co_return;
    }
    xpcLog.info("[relay-probe] USB connected while volume mounted — start mounted keepalive");
    startMountedKeepalive();
}

asio::awaitable<void> RelayProbeCoordinator::onUsbDisconnected() {
    cancelLoop();
    relayReachable_ = false;
    if (!mounts_.isMounted()) {
        xpcLog.error("[relay-probe] unmount after disconnect failed: %s",
                     MountServiceError(MountServiceErrorKind::notMounted).what());
        co_return;
    }
    try {
        co_await mounts_.forceUnmount();
        xpcLog.info("[relay-probe] force unmount after USB disconnect");
    } catch (const std::exception& error) {
        xpcLog.error("[relay-probe] unmount after disconnect failed: %s", error.what());
    }
}

asio::awaitable<void> RelayProbeCoordinator::onVolumeMounted() {
    xpcLog.info("[relay-probe] volume mounted — start mounted keepalive");
    startMountedKeepalive();
    co_return;
}

asio::awaitable<void> RelayProbeCoordinator::onVolumeUnmounted() {
    if (!phoneAttached()) co_return;
    xpcLog.info("[relay-probe] volume unmounted — resume probe");
    startProbe();
}

void RelayProbeCoordinator::startProbe() {
    cancelLoop();
    probeTask_ = std::make_shared<LoopTask>();
    asio::co_spawn(loop_, probeLoop(probeTask_), asio::detached);
}

void RelayProbeCoordinator::startMountedKeepalive() {
    cancelLoop();
    probeTask_ = std::make_shared<LoopTask>();
    asio::co_spawn(loop_, keepaliveLoop(probeTask_), asio::detached);
}

void RelayProbeCoordinator::cancelLoop() {
    if (!probeTask_) return;
    probeTask_->cancelled = true;
    probeTask_->stopPause.emit(asio::cancellation_type::terminal);
    probeTask_.reset();
}

// A loop that was replaced meanwhile must not clear its successor's handle.
void RelayProbeCoordinator::loopEnded(const LoopHandle& task) {
    if (probeTask_ == task) probeTask_.reset();
}

asio::awaitable<void> RelayProbeCoordinator::pause(const LoopHandle& task, Clock::duration d) {
    if (task->cancelled) co_return;
    try {
        co_await asio::co_spawn(
            loop_, clock_.sleep(d),
            asio::bind_cancellation_slot(task->stopPause.slot(), asio::use_awaitable));
    } catch (const std::exception&) {
        // Cancelled: the loop's next check ends it.
    }
}

asio::awaitable<RelayProbeCoordinator::PingOutcome> RelayProbeCoordinator::ping() {
    if (!phoneAttached()) co_return PingOutcome::failed;
    // A speed test owns the port for a while; waiting for it is no miss.
    co_await relay_.linkAvailable();
    for (int attempt = 1;; ++attempt) {
        std::optional<TunnelRelayTransportError> failure;
        try {
            auto answer = co_await finishWithin(clock_, kPingTimeLimit,
                                                relay_.request(kProbeCode, {}, relayPort));
            if (!answer) co_return PingOutcome::timedOut;
            co_return answer->code == 0 ? PingOutcome::answered : PingOutcome::failed;
        } catch (const TunnelRelayFailure& error) {
            failure = error.error();
        }
        const bool transient = *failure == TunnelRelayTransportError::notConnected ||
                               *failure == TunnelRelayTransportError::tunnelIOFailed;
        if (!transient || attempt == 2) co_return PingOutcome::failed;
        co_await relay_.resetTunnel();
    }
}

asio::awaitable<void> RelayProbeCoordinator::probeLoop(LoopHandle task) {
    while (!task->cancelled && phoneAttached()) {
        if (mounts_.isMounted()) {
            xpcLog.info("[relay-probe] volume mounted mid-loop — stop probe");
            break;
        }
        const bool answered = co_await ping() == PingOutcome::answered;
        // A loop cancelled meanwhile leaves the state to its successor.
        if (task->cancelled) break;
        if (answered) {
            if (!relayReachable_) xpcLog.info("[relay-probe] iOS relay reachable");
            relayReachable_ = true;
            co_await pause(task, kReachablePause);
        } else {
            if (relayReachable_) xpcLog.info("[relay-probe] iOS relay unreachable");
            relayReachable_ = false;
            co_await relay_.resetTunnel();
            co_await pause(task, kRetryPause);
        }
    }
    loopEnded(task);
}

asio::awaitable<void> RelayProbeCoordinator::keepaliveLoop(LoopHandle task) {
    long misses = 0;
    while (!task->cancelled && phoneAttached() && mounts_.isMounted()) {
        if (const auto last = relay_.lastIOSContact()) {
            const auto age = clock_.now() - *last;
            if (age < kKeepaliveWindow) {
                co_await pause(task, kKeepaliveWindow - age);
                continue;
            }
        }
        const auto contactBefore = relay_.lastIOSContact();
        const auto outcome = co_await ping();
        if (task->cancelled) break;
        // A phone busy with a large transfer may answer a ping late; while it answered other
        // requests during the wait, it is no miss and its stream stays.
        if (outcome == PingOutcome::timedOut && relay_.lastIOSContact() != contactBefore) continue;
        if (outcome == PingOutcome::answered) {
            if (misses >= 1) xpcLog.info("[relay-probe] mounted keepalive recovered");
            misses = 0;
            relayReachable_ = true;
            continue;
        }
        ++misses;
        relayReachable_ = false;
        xpcLog.info("[relay-probe] mounted keepalive miss %ld/%ld", misses, kMissLimit);
        co_await relay_.resetTunnel();
        if (misses < kMissLimit) {
            co_await pause(task, kRetryPause);
            continue;
        }
        co_await forceUnmountAfterLostRelay(task);
        co_return;
    }
    loopEnded(task);
}

asio::awaitable<void> RelayProbeCoordinator::forceUnmountAfterLostRelay(LoopHandle task) {
    xpcLog.info("[relay-probe] mounted keepalive exhausted — force unmount");
    if (mounts_.isMounted()) {
        try {
            co_await mounts_.forceUnmount();
            xpcLog.info("[relay-probe] force unmount after lost relay ok");
        } catch (const std::exception& error) {
            xpcLog.error("[relay-probe] force unmount after lost relay failed: %s", error.what());
        }
    } else {
        xpcLog.error("[relay-probe] force unmount after lost relay failed: %s",
                     MountServiceError(MountServiceErrorKind::notMounted).what());
    }
    // An event that replaced this loop during the unmount has already chosen what runs next.
    if (probeTask_ != task) co_return;
    if (phoneAttached())
        startProbe();
    else
        cancelLoop();
}

} // namespace brimo
