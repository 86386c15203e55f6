#pragma once

#include "shared/Bytes.h"
#include "shared/ipc/Callback.h"
#include "shared/ipc/Value.h"

#include <cstdint>
#include <memory>
#include <string>

namespace brimo::ipc {

namespace detail {
class CallTarget;
}

// The service's view of one client. Each call's completion runs on the connection's loop, or,
// when the call fails (answered with an error, or the connection broke while it was pending),
// the proxy's error handler runs instead and the completion never does. A proxy does not keep
// its connection alive; once the connection is gone, calls go straight to the error handler.
class RemoteBridgeClient {
public:
    RemoteBridgeClient(std::weak_ptr<detail::CallTarget> target, ErrorHandler onError);

    void notifyClient(int64_t code, Bytes param); // one-way
    void echo(Callback<void()> done);
    void benchmarkIngest(Bytes data, Callback<void(uint64_t)> done);
    void runExtToHostPing(int64_t count, Callback<void(double)> done);
    void benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount, Callback<void(double)> done);

private:
    std::weak_ptr<detail::CallTarget> target_;
    ErrorHandler onError_;
};

// A client's view of the service; same completion rules as RemoteBridgeClient.
class RemoteBridgeHost {
public:
    RemoteBridgeHost(std::weak_ptr<detail::CallTarget> target, ErrorHandler onError);

    void registerClient(int64_t role, Callback<void(bool)> done);
    void echo(Callback<void()> done);
    void ping(int64_t targetRole, Callback<void(bool)> done);
    void benchmarkIngest(Bytes data, Callback<void(uint64_t)> done);
    void requestExtToHostPing(int64_t count, Callback<void(double)> done);
    void requestExtToHostThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                    Callback<void(double)> done);
    void requestHostToExtThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                    Callback<void(double)> done);
    void runUsbMuxSpeedTest(Callback<void(bool, std::string)> done);
    void relayToUsbMux(int64_t code, Bytes param, Callback<void(Bytes, int64_t, int64_t)> done);
    void requestFileIO(int64_t operation, Bytes param, Callback<void(Bytes, int64_t)> done);
    void filesystemDidUnmount(); // one-way
    void shutdown(Callback<void(bool)> done);
    void getXPCServiceVersion(Callback<void(int64_t)> done);

private:
    std::weak_ptr<detail::CallTarget> target_;
    ErrorHandler onError_;
};

} // namespace brimo::ipc
