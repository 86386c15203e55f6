#include "app/XPCAppClientObject.h"

namespace brimo::app {

void XPCAppClientObject::notifyClient(int64_t code, Bytes param) {
    onNotification_(code, std::move(param));
}

void XPCAppClientObject::echo(ipc::Reply<> reply) {
    reply();
}

void XPCAppClientObject::benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) {
    reply(data.size());
}

void XPCAppClientObject::runExtToHostPing(int64_t, ipc::Reply<double> reply) {
    reply(-1.0);
}

void XPCAppClientObject::benchmarkSendChunks(uint64_t, uint64_t, ipc::Reply<double> reply) {
    reply(-1.0);
}

} // namespace brimo::app
