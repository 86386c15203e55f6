#pragma once

#include "shared/ipc/BridgeProtocols.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <filesystem>

namespace brimo {

class BridgeCore;
class TransferCoordinator;
class TunnelRelayBridge;

// What the host methods need of the volume and the phone link beyond the registry. Each piece
// is filled in as its component lands; until then the defaults describe "nothing mounted" and
// "the phone link cannot be used yet".
class HostServices {
public:
    virtual ~HostServices() = default;
    virtual bool isMounted() { return false; }
    // Tells the phone that the volume was unmounted (tunnel code 20); false when it could not.
    virtual asio::awaitable<bool> notifyPhoneOfUnmount();
    virtual void volumeUnmounted() {}
};

// The object a connection exports: one per accepted connection, whose identity tells
// BridgeCore which connection a call came in on. Every method replies exactly once.
class Tarvel_XPC final : public ipc::BridgeHostProtocol {
public:
    Tarvel_XPC(asio::any_io_executor loop, BridgeCore& core, TunnelRelayBridge& relay,
               TransferCoordinator& transfers, HostServices& services,
               std::filesystem::path infoDictionary);

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
    asio::awaitable<void> relayTask(int64_t code, Bytes param,
                                    ipc::Reply<Bytes, int64_t, int64_t> reply);
    asio::awaitable<void> fileIOTask(int64_t operation, Bytes param,
                                     ipc::Reply<Bytes, int64_t> reply);
    asio::awaitable<void> shutdownTask(ipc::Reply<bool> reply);
    asio::awaitable<void> unmountNotice();

    asio::any_io_executor loop_;
    BridgeCore& core_;
    TunnelRelayBridge& relay_;
    TransferCoordinator& transfers_;
    HostServices& services_;
    const std::filesystem::path infoDictionary_;
};

} // namespace brimo
