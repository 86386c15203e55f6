#pragma once

#include "shared/ipc/BridgeProtocols.h"

#include <functional>

// What the app exports to the service. It runs on the IPC loop and keeps no state: the
// service's notifications go to the handler it was given, which moves them to the main thread.
namespace brimo::app {

class XPCAppClientObject final : public ipc::TarvelBridgeClientProtocol {
public:
    using NotificationHandler = std::function<void(int64_t code, Bytes payload)>;
    explicit XPCAppClientObject(NotificationHandler onNotification)
        : onNotification_(std::move(onNotification)) {}

    void notifyClient(int64_t code, Bytes param) override;
    void echo(ipc::Reply<> reply) override;
    void benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) override;
    // The app takes no part in the extension's measurements.
    void runExtToHostPing(int64_t count, ipc::Reply<double> reply) override;
    void benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount,
                             ipc::Reply<double> reply) override;

private:
    NotificationHandler onNotification_;
};

} // namespace brimo::app
