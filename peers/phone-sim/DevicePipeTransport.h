#pragma once

#include "peers/phone-sim/LoopEvent.h"
#include "service/tunnel/TunnelTransport.h"
#include "shared/SerialGate.h"

#include <memory>
#include <string>

namespace brimo::sim {

class DevicePipe;

// The tunnel transport of the phone app's framed side: the device pipe, so the link rate and
// the cut fault apply to frames as they do to the line protocol.
class DevicePipeTransport final : public TunnelTransport {
public:
    // `pending` holds the bytes already read while the protocol was being detected; every
    // operation counts itself in `inFlight` while it uses the pipe.
    DevicePipeTransport(DevicePipe& pipe, std::string pending, std::shared_ptr<InFlight> inFlight);

    asio::awaitable<void> send(Bytes header, Bytes payload) override;
    asio::awaitable<Bytes> receive(size_t count) override;
    asio::awaitable<void> close() override;

    // Set by close(), which the engine calls whenever its binding ends.
    LoopEvent& closed() { return closed_; }

private:
    DevicePipe& pipe_;
    std::string pending_;
    std::shared_ptr<InFlight> inFlight_;
    SerialGate sendGate_; // frames go out whole, one after the other
    LoopEvent closed_;
};

} // namespace brimo::sim
