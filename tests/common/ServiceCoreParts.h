#pragma once

#include "service/BridgeCore.h"
#include "service/TunnelRelayBridge.h"
#include "service/tunnel/TunnelEngine.h"
#include "service/tunnel/UsbMuxService.h"
#include "shared/BridgeContract.h"

#include <asio/io_context.hpp>
#include <memory>
#include <string>
#include <vector>

namespace brimo::test {

// Records the USB link events the core passes on.
struct RecordingLinkObserver : UsbLinkObserver {
    void usbConnected() override { events.push_back("connected"); }
    void usbDisconnected() override { events.push_back("disconnected"); }
    std::vector<std::string> events;
};

// Records what the phone asked of the volume.
struct RecordingPushActions : PhonePushActions {
    void itemMutationPoke(const Bytes& payload) override { pokes.push_back(payload); }
    void mountControl(const Bytes& payload) override { mounts.push_back(payload); }
    std::vector<Bytes> pokes, mounts;
};

// The service's core on a loop of the test's own, for components built on top of it.
struct ServiceCoreParts {
    asio::io_context loop;
    UsbMuxService usbMux{loop.get_executor()};
    TunnelEngine engine{loop.get_executor()};
    RecordingLinkObserver probe;
    BridgeCore core{loop.get_executor(), usbMux, engine, probe};
};

// A client proxy whose diagnostics answer at once, as a client with nothing to measure.
struct ImmediateDiagnostics : BridgeClientProxy {
    void echo(ipc::Callback<void()> done) override { done(); }
    void benchmarkIngest(Bytes data, ipc::Callback<void(uint64_t)> done) override {
        done(data.size());
    }
    void runExtToHostPing(int64_t, ipc::Callback<void(double)> done) override { done(-1.0); }
    void benchmarkSendChunks(uint64_t, uint64_t, ipc::Callback<void(double)> done) override {
        done(-1.0);
    }
};

// A client connection whose proxy records every notification it is sent.
class RecordingClient : public BridgeClientConnection, public ImmediateDiagnostics {
public:
    HostID exportedObject() const override { return host_; }
    std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)>) override {
        return std::shared_ptr<BridgeClientProxy>(std::shared_ptr<void>(), this);
    }
    void notifyClient(int64_t code, Bytes param) override {
        received.push_back({static_cast<uint16_t>(code), std::move(param)});
    }

    // The file-IO progress among them.
    std::vector<FileIOProgressPayload> progress() const {
        std::vector<FileIOProgressPayload> out;
        for (const auto& message : received)
            if (message.code == static_cast<uint16_t>(BridgeNotifyMessage::fileIOProgress))
                out.push_back(*decodeFileIOProgressPayload(message.payload));
        return out;
    }

    std::vector<TunnelMessage> received;

private:
    HostID host_ = newHostID();
};

} // namespace brimo::test
