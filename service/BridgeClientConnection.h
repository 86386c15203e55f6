#pragma once

#include "shared/Bytes.h"
#include "shared/ipc/Callback.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace brimo {

// The identity of a connection's exported object. Never reused while the process lives, so an
// entry the registry keeps for a closed connection can never be taken for a newer one's.
using HostID = uint64_t;
HostID newHostID();

// The calls the service makes on a client, through its connection's remote proxy.
class BridgeClientProxy {
public:
    virtual ~BridgeClientProxy() = default;
    // One-way.
    virtual void notifyClient(int64_t code, Bytes param) = 0;
    // Diagnostics. A completion runs only when the client answered; a failed call goes to the
    // proxy's error handler instead.
    virtual void echo(ipc::Callback<void()> done) = 0;
    virtual void benchmarkIngest(Bytes data, ipc::Callback<void(uint64_t)> done) = 0;
    virtual void runExtToHostPing(int64_t count, ipc::Callback<void(double)> done) = 0;
    virtual void benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount,
                                     ipc::Callback<void(double)> done) = 0;
};

// The registry's view of one accepted client connection. The identity of its exported object
// (one per connection) is how a call is traced back to its connection.
class BridgeClientConnection {
public:
    virtual ~BridgeClientConnection() = default;
    virtual HostID exportedObject() const = 0;
    // A proxy whose failed calls are reported to `errorHandler` with the error's description;
    // none when the connection cannot give one.
    virtual std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)> errorHandler) = 0;
};

} // namespace brimo
