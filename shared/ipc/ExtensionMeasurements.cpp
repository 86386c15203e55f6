#include "shared/ipc/ExtensionMeasurements.h"

#include "shared/ipc/ClientConnection.h"
#include "shared/ipc/InTurn.h"
#include "shared/ipc/Names.h"
#include "shared/ipc/RemoteProxies.h"

namespace brimo::ipc {

namespace {

constexpr uint8_t kBenchmarkByte = 0xCD;

// A proxy whose failure answers -1.0 through the same once-only answer as its success.
struct Measurement {
    std::shared_ptr<Callback<void(double)>> answer;
    std::shared_ptr<RemoteBridgeHost> host;

    Measurement(const std::shared_ptr<ClientConnection>& connection, Callback<void(double)> done)
        : answer(std::make_shared<Callback<void(double)>>(std::move(done))) {
        host = std::make_shared<RemoteBridgeHost>(connection->remoteObjectProxy(
            [answer = answer](const RemoteError&) { finishOnce(*answer, -1.0); }));
    }
    static void finishOnce(Callback<void(double)>& answer, double value) {
        if (!answer) return;
        auto pending = std::move(answer);
        pending(value);
    }
    Callback<void(double)> finisher() const {
        return [answer = answer](double seconds) { finishOnce(*answer, seconds); };
    }
};

} // namespace

void measureEchoRoundTrips(const std::shared_ptr<ClientConnection>& connection, int64_t count,
                           Callback<void(double)> done) {
    Measurement measurement(connection, std::move(done));
    auto host = measurement.host;
    runInTurn(
        count > 0 ? static_cast<uint64_t>(count) : 0,
        [host](std::function<void()> next) { host->echo([next = std::move(next)] { next(); }); },
        measurement.finisher());
}

void measureChunkSends(const std::shared_ptr<ClientConnection>& connection, uint64_t chunkSize,
                       uint64_t chunkCount, Callback<void(double)> done) {
    Measurement measurement(connection, std::move(done));
    if (chunkSize > kMaxCallBytes) return measurement.finisher()(-1.0);
    auto host = measurement.host;
    auto chunk = std::make_shared<const Bytes>(chunkCount == 0 ? 0 : chunkSize, kBenchmarkByte);
    runInTurn(
        chunkCount,
        [host, chunk](std::function<void()> next) {
            host->benchmarkIngest(*chunk, [next = std::move(next)](uint64_t) { next(); });
        },
        measurement.finisher());
}

void ExtensionClient::runExtToHostPing(int64_t count, Reply<double> reply) {
    auto connection = connection_.lock();
    if (!connection) return reply(-1.0);
    measureEchoRoundTrips(connection, count,
                          [reply = std::move(reply)](double s) mutable { reply(s); });
}

void ExtensionClient::benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount,
                                          Reply<double> reply) {
    auto connection = connection_.lock();
    if (!connection) return reply(-1.0);
    measureChunkSends(connection, chunkSize, chunkCount,
                      [reply = std::move(reply)](double s) mutable { reply(s); });
}

} // namespace brimo::ipc
