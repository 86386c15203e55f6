#include "peers/phone-sim/FramedSession.h"

#include "peers/phone-sim/DevicePipe.h"
#include "peers/phone-sim/DevicePipeTransport.h"
#include "peers/phone-sim/FramedPhoneApp.h"
#include "peers/phone-sim/SimLog.h"
#include "shared/messages/ChunkMessages.h"

#include <asio/experimental/awaitable_operators.hpp>

namespace brimo::sim {

using namespace asio::experimental::awaitable_operators;

FramedSession::FramedSession(DevicePipe& pipe, std::string pending, FramedPhoneApp& app,
                             DeviceRegistry& registry, DeviceInfo device)
    : pipe_(pipe)
    , pending_(std::move(pending))
    , app_(app)
    , registry_(registry)
    , device_(std::move(device))
    , inFlight_(std::make_shared<InFlight>(pipe.executor()))
    , ended_(pipe.executor())
    , engine_(pipe.executor()) {}

asio::awaitable<void> FramedSession::run() {
    auto transport = std::make_shared<DevicePipeTransport>(pipe_, std::move(pending_), inFlight_);
    engine_.bind(
        transport, TunnelEndpointRole::server, "phone:" + device_.udid,
        [this](uint16_t code, Bytes payload) { return serve(code, std::move(payload)); }, nullptr);
    {
        struct PushRegistration {
            DeviceRegistry& registry;
            uint64_t handle;
            ~PushRegistration() { registry.removePushTarget(handle); }
        } registration{registry_, registry_.addPushTarget(
                                      device_.id, [this](uint16_t code, const Bytes& payload) {
                                          if (!engine_.isBound()) return false;
                                          engine_.enqueueNotification(code, payload);
                                          return true;
                                      })};
        engine_.startReading();
        // The engine closes its transport whenever its binding ends: the host hung up, a frame
        // was bad, a send failed, or the pipe was cut or detached.
        co_await transport->closed().wait();
    }
    // A no-op when the engine closed the transport itself, which is the only way it closes;
    // either way requests woken below find the engine unbound and send nothing.
    co_await engine_.stop();
    ended_.set();
    // A request task resumes its engine right after its handler returns, without suspending
    // again once unbound; the wake-up below is posted, so it comes after that.
    co_await inFlight_->drained();
    // Whatever this connection did not commit is abandoned with it.
    writes_.discardAll();
}

asio::awaitable<TunnelMessage> FramedSession::serve(uint16_t code, Bytes payload) {
    auto scope = inFlight_->enter();
    const DeviceFaults& faults = pipe_.faults();
    if (faults.dropAfter.contains(code)) {
        dropDevice(code);
        co_await ended_.wait();
        co_return TunnelMessage{};
    }
    if (faults.silent || faults.muted.contains(code)) {
        co_await ended_.wait();
        co_return TunnelMessage{};
    }
    if (auto delay = faults.delayOf(code); delay.count() > 0) {
        asio::steady_timer timer(pipe_.executor(), delay);
        asio::error_code ec;
        co_await (timer.async_wait(asio::redirect_error(asio::use_awaitable, ec)) || ended_.wait());
    }
    if (auto scripted = faults.statusFor.find(code); scripted != faults.statusFor.end()) {
        registry_.stats().countAnswer(code);
        const auto& [status, reason] = scripted->second;
        co_return TunnelMessage{status, reason ? encodeJson(RelayFailure{*reason}) : Bytes{}};
    }
    if (code == static_cast<uint16_t>(FramedRequest::writeChunk) && faults.spaceBytes) {
        const auto chunk = decodeWriteChunkView(payload);
        if (chunk && chunk->offset + chunk->data.size() > *faults.spaceBytes) {
            registry_.stats().countAnswer(code);
            co_return TunnelMessage{static_cast<uint16_t>(FileSystemStatus::failed),
                                    encodeJson(RelayFailure{"noSpace"})};
        }
    }
    co_return app_.answer(code, payload, writes_);
}

void FramedSession::dropDevice(uint16_t code) {
    // A re-attached phone has a new id; only the device this connection belongs to goes.
    if (!registry_.findById(device_.id)) return;
    registry_.detach(device_.udid);
    simLog.notice("detached %s on framed request %u", device_.udid.c_str(), code);
}

} // namespace brimo::sim
