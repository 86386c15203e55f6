#pragma once

#include "service/BridgeClientConnection.h"
#include "shared/ipc/BridgeProtocols.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <filesystem>

namespace brimo {

class BridgeCore;
class TransferCoordinator;
class TunnelRelayBridge;
class UsbMuxService;

// What shutdown and the unmount notice need of the volume, the phone and the probe.
class HostServices {
public:
    virtual ~HostServices() = default;
    // The forced unmount; throws MountServiceError (notMounted when nothing is mounted).
    virtual asio::awaitable<void> forceUnmount() = 0;
    // Tells the phone that the volume was unmounted (tunnel code 20); false when it could not.
    virtual asio::awaitable<bool> notifyPhoneOfUnmount() = 0;
    virtual void volumeUnmounted() = 0;
};

// Everything a connection's host object calls into; all of it outlives the connections.
struct HostParts {
    asio::any_io_executor loop;
    BridgeCore& core;
    TunnelRelayBridge& relay;
    TransferCoordinator& transfers;
    UsbMuxService& usbMux;
    HostServices& services;
    std::filesystem::path infoDictionary;
};

// The object a connection exports: one per accepted connection, whose identity tells
// BridgeCore which connection a call came in on. Every method replies exactly once.
//
// The object goes when its connection closes, which may be while a call it started still
// waits; so the tasks it starts hold copies of what they need, never the object itself.
class Tarvel_XPC final : public ipc::TarvelBridgeHostProtocol {
public:
    explicit Tarvel_XPC(const HostParts& parts)
        : parts_(parts)
        , id_(newHostID()) {}

    HostID id() const { return id_; }

    void registerClient(int64_t role, ipc::Reply<bool> reply) override;
    void echo(ipc::Reply<> reply) override;
    void ping(int64_t targetRole, ipc::Reply<bool> reply) override;
    void benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) override;
    void requestExtToHostPing(int64_t count, ipc::Reply<double> reply) override;
    void requestExtToHostThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                    ipc::Reply<double> reply) override;
    void requestHostToExtThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                    ipc::Reply<double> reply) override;
    void runUsbMuxSpeedTest(ipc::Reply<bool, std::string> reply) override;
    void relayToUsbMux(int64_t code, Bytes param,
                       ipc::Reply<Bytes, int64_t, int64_t> reply) override;
    void requestFileIO(int64_t operation, Bytes param, ipc::Reply<Bytes, int64_t> reply) override;
    void filesystemDidUnmount() override;
    void shutdown(ipc::Reply<bool> reply) override;
    void getXPCServiceVersion(ipc::Reply<int64_t> reply) override;

private:
    const HostParts parts_;
    const HostID id_;
};

} // namespace brimo
