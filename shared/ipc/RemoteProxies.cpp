#include "shared/ipc/RemoteProxies.h"

#include "shared/ipc/Names.h"
#include "shared/ipc/detail/CallTarget.h"

namespace brimo::ipc {

namespace {

using detail::CallTarget;
using detail::Member;

template <class T> T take(Values& values, size_t index) {
    return std::get<T>(std::move(values[index]));
}

void send(const std::weak_ptr<CallTarget>& weak, const ErrorHandler& onError, const Member& member,
          Values args, Callback<void(Values)> onReply) {
    auto target = weak.lock();
    if (!target) {
        if (onError) onError({kErrorInvalid, "the connection is gone"});
        return;
    }
    target->call(member, std::move(args), std::move(onReply), onError);
}

} // namespace

RemoteBridgeClient::RemoteBridgeClient(std::weak_ptr<CallTarget> target, ErrorHandler onError)
    : target_(std::move(target))
    , onError_(std::move(onError)) {}

void RemoteBridgeClient::notifyClient(int64_t code, Bytes param) {
    send(target_, onError_, detail::clientMember("NotifyClient"), valuesOf(code, std::move(param)),
         {});
}

void RemoteBridgeClient::echo(Callback<void()> done) {
    send(target_, onError_, detail::clientMember("Echo"), {},
         [done = std::move(done)](Values) { done(); });
}

void RemoteBridgeClient::benchmarkIngest(Bytes data, Callback<void(uint64_t)> done) {
    send(target_, onError_, detail::clientMember("BenchmarkIngest"), {std::move(data)},
         [done = std::move(done)](Values v) { done(take<uint64_t>(v, 0)); });
}

void RemoteBridgeClient::runExtToHostPing(int64_t count, Callback<void(double)> done) {
    send(target_, onError_, detail::clientMember("RunExtToHostPing"), {count},
         [done = std::move(done)](Values v) { done(take<double>(v, 0)); });
}

void RemoteBridgeClient::benchmarkSendChunks(uint64_t chunkSize, uint64_t chunkCount,
                                             Callback<void(double)> done) {
    send(target_, onError_, detail::clientMember("BenchmarkSendChunks"), {chunkSize, chunkCount},
         [done = std::move(done)](Values v) { done(take<double>(v, 0)); });
}

RemoteBridgeHost::RemoteBridgeHost(std::weak_ptr<CallTarget> target, ErrorHandler onError)
    : target_(std::move(target))
    , onError_(std::move(onError)) {}

void RemoteBridgeHost::registerClient(int64_t role, Callback<void(bool)> done) {
    send(target_, onError_, detail::hostMember("RegisterClient"), {role},
         [done = std::move(done)](Values v) { done(take<bool>(v, 0)); });
}

void RemoteBridgeHost::echo(Callback<void()> done) {
    send(target_, onError_, detail::hostMember("Echo"), {},
         [done = std::move(done)](Values) { done(); });
}

void RemoteBridgeHost::ping(int64_t targetRole, Callback<void(bool)> done) {
    send(target_, onError_, detail::hostMember("Ping"), {targetRole},
         [done = std::move(done)](Values v) { done(take<bool>(v, 0)); });
}

void RemoteBridgeHost::benchmarkIngest(Bytes data, Callback<void(uint64_t)> done) {
    send(target_, onError_, detail::hostMember("BenchmarkIngest"), {std::move(data)},
         [done = std::move(done)](Values v) { done(take<uint64_t>(v, 0)); });
}

void RemoteBridgeHost::requestExtToHostPing(int64_t count, Callback<void(double)> done) {
    send(target_, onError_, detail::hostMember("RequestExtToHostPing"), {count},
         [done = std::move(done)](Values v) { done(take<double>(v, 0)); });
}

void RemoteBridgeHost::requestExtToHostThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                                  Callback<void(double)> done) {
    send(target_, onError_, detail::hostMember("RequestExtToHostThroughput"),
         {chunkSize, chunkCount}, [done = std::move(done)](Values v) { done(take<double>(v, 0)); });
}

void RemoteBridgeHost::requestHostToExtThroughput(uint64_t chunkSize, uint64_t chunkCount,
                                                  Callback<void(double)> done) {
    send(target_, onError_, detail::hostMember("RequestHostToExtThroughput"),
         {chunkSize, chunkCount}, [done = std::move(done)](Values v) { done(take<double>(v, 0)); });
}

void RemoteBridgeHost::runUsbMuxSpeedTest(Callback<void(bool, std::string)> done) {
    send(target_, onError_, detail::hostMember("RunUsbMuxSpeedTest"), {},
         [done = std::move(done)](Values v) { done(take<bool>(v, 0), take<std::string>(v, 1)); });
}

void RemoteBridgeHost::relayToUsbMux(int64_t code, Bytes param,
                                     Callback<void(Bytes, int64_t, int64_t)> done) {
    send(target_, onError_, detail::hostMember("RelayToUsbMux"), valuesOf(code, std::move(param)),
         [done = std::move(done)](Values v) {
             done(take<Bytes>(v, 0), take<int64_t>(v, 1), take<int64_t>(v, 2));
         });
}

void RemoteBridgeHost::requestFileIO(int64_t operation, Bytes param,
                                     Callback<void(Bytes, int64_t)> done) {
    send(target_, onError_, detail::hostMember("RequestFileIO"),
         valuesOf(operation, std::move(param)),
         [done = std::move(done)](Values v) { done(take<Bytes>(v, 0), take<int64_t>(v, 1)); });
}

void RemoteBridgeHost::filesystemDidUnmount() {
    send(target_, onError_, detail::hostMember("FilesystemDidUnmount"), {}, {});
}

void RemoteBridgeHost::shutdown(Callback<void(bool)> done) {
    send(target_, onError_, detail::hostMember("Shutdown"), {},
         [done = std::move(done)](Values v) { done(take<bool>(v, 0)); });
}

void RemoteBridgeHost::getXPCServiceVersion(Callback<void(int64_t)> done) {
    send(target_, onError_, detail::hostMember("GetXPCServiceVersion"), {},
         [done = std::move(done)](Values v) { done(take<int64_t>(v, 0)); });
}

} // namespace brimo::ipc
