#pragma once

#include "shared/ipc/BridgeProtocols.h"
#include "shared/ipc/Callback.h"

#include <cstdint>
#include <memory>

namespace brimo::ipc {

class ClientConnection;

// The extension's side of the service's measurements, answering runExtToHostPing and
// benchmarkSendChunks: `count` echo round trips, or `chunkCount` chunks of `chunkSize` bytes
// (each 0xCD) sent with benchmarkIngest strictly one after another. Each answers the elapsed
// wall-clock seconds, or -1.0 when a call failed or the chunk could not travel in one call.
void measureEchoRoundTrips(const std::shared_ptr<ClientConnection>& connection, int64_t count,
                           Callback<void(double)> done);
void measureChunkSends(const std::shared_ptr<ClientConnection>& connection, uint64_t chunkSize,
                       uint64_t chunkCount, Callback<void(double)> done);

// A client that answers the service's measurements the way the extension does; what it does
// with notifications is its own. The measurements need the connection it is exported on.
class ExtensionClient : public TarvelBridgeClientProtocol {
public:
    void echo(Reply<> reply) override { reply(); }
    void benchmarkIngest(Bytes data, Reply<uint64_t> reply) override { reply(data.size()); }
    void runExtToHostPing(int64_t count, Reply<double> reply) override;
    void benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount, Reply<double> reply) override;

    void setConnection(std::weak_ptr<ClientConnection> connection) {
        connection_ = std::move(connection);
    }

private:
    std::weak_ptr<ClientConnection> connection_;
};

} // namespace brimo::ipc
