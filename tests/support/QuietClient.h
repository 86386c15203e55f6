#pragma once

#include "shared/ipc/BridgeProtocols.h"

namespace brimo::test {

// The client side the service may call back, for clients that only need it to answer.
class QuietClient final : public ipc::TarvelBridgeClientProtocol {
public:
    void notifyClient(int64_t, Bytes) override {}
    void echo(ipc::Reply<> reply) override { reply(); }
    void benchmarkIngest(Bytes data, ipc::Reply<uint64_t> reply) override { reply(data.size()); }
    void runExtToHostPing(int64_t, ipc::Reply<double> reply) override { reply(-1.0); }
    void benchmarkSendChunks(uint64_t, uint64_t, ipc::Reply<double> reply) override { reply(-1.0); }
};

} // namespace brimo::test
