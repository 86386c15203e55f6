#pragma once

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

} // namespace brimo::ipc
