#pragma once

#include "service/BridgeCore.h"
#include "service/tunnel/TunnelEngine.h"
#include "service/tunnel/UsbMuxService.h"
#include "shared/BridgeContract.h"

#include <asio/io_context.hpp>
#include <memory>
#include <vector>

namespace brimo::test {

// The service's core on a loop of the test's own, for components built on top of it.
struct ServiceCoreParts {
    asio::io_context loop;
    UsbMuxService usbMux{loop.get_executor()};
    TunnelEngine engine{loop.get_executor()};
    UsbLinkObserver probe;
    BridgeCore core{loop.get_executor(), usbMux, engine, probe};
};

// A client connection whose proxy records every notification it is sent.
class RecordingClient : public BridgeClientConnection, public BridgeClientProxy {
public:
    const void* exportedObject() const override { return &host_; }
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
    int host_ = 0;
};

} // namespace brimo::test
