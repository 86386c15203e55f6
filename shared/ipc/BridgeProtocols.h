#pragma once

#include "shared/Bytes.h"
#include "shared/ipc/Reply.h"

#include <cstdint>
#include <string>

// The two halves of the bridge contract. The service implements TarvelBridgeHostProtocol (one
// object per connection), every client implements TarvelBridgeClientProtocol. Methods run on the
// loop of the connection that received them; each either answers through its Reply (now or later)
// or lets the Reply go, which answers the caller with an error.
namespace brimo::ipc {

class TarvelBridgeHostProtocol {
public:
    virtual ~TarvelBridgeHostProtocol() = default;
    virtual void registerClient(int64_t role, Reply<bool> reply) = 0;
    virtual void echo(Reply<> reply) = 0;
    virtual void ping(int64_t targetRole, Reply<bool> reply) = 0;
    virtual void benchmarkIngest(Bytes data, Reply<uint64_t> reply) = 0;
    virtual void requestExtToHostPing(int64_t count, Reply<double> reply) = 0;
    virtual void requestExtToHostThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                            Reply<double> reply) = 0;
    virtual void requestHostToExtThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                            Reply<double> reply) = 0;
    virtual void runUsbMuxSpeedTest(Reply<bool, std::string> reply) = 0;
    virtual void relayToUsbMux(int64_t code, Bytes param, Reply<Bytes, int64_t, int64_t> reply) = 0;
    virtual void requestFileIO(int64_t operation, Bytes param, Reply<Bytes, int64_t> reply) = 0;
    virtual void filesystemDidUnmount() = 0; // one-way
    virtual void shutdown(Reply<bool> reply) = 0;
    virtual void getXPCServiceVersion(Reply<int64_t> reply) = 0;
};

class TarvelBridgeClientProtocol {
public:
    virtual ~TarvelBridgeClientProtocol() = default;
    virtual void notifyClient(int64_t code, Bytes param) = 0; // one-way
    virtual void echo(Reply<> reply) = 0;
    virtual void benchmarkIngest(Bytes data, Reply<uint64_t> reply) = 0;
    virtual void runExtToHostPing(int64_t count, Reply<double> reply) = 0;
    virtual void benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount,
                                     Reply<double> reply) = 0;
};

} // namespace brimo::ipc
