#include "tests/ipc/IpcTestSupport.h"

namespace brimo::ipc::test {
namespace {

using Calls = IpcTest;

ErrorHandler recordErrors(std::vector<RemoteError>& errors) {
    return [&errors](const RemoteError& e) { errors.push_back(e); };
}

TEST_F(Calls, TypedCallsReachTheServiceAndItsRepliesCarryEveryValue) {
    startService();
    std::vector<RemoteError> errors;
    auto host = makeClient()->remoteObjectProxy(recordErrors(errors));

    std::optional<bool> registered;
    std::optional<std::tuple<Bytes, int64_t, int64_t>> relayed;
    std::optional<std::pair<Bytes, int64_t>> fileIO;
    std::optional<std::pair<bool, std::string>> speedTest;
    std::optional<uint64_t> ingested;
    std::optional<double> throughput;
    host.registerClient(1, [&](bool ok) { registered = ok; });
    host.relayToUsbMux(41, {1, 2, 3},
                       [&](Bytes b, int64_t e, int64_t s) { relayed.emplace(b, e, s); });
    host.requestFileIO(3, {9}, [&](Bytes b, int64_t code) { fileIO.emplace(b, code); });
    host.runUsbMuxSpeedTest([&](bool ok, std::string report) { speedTest.emplace(ok, report); });
    host.benchmarkIngest(Bytes(100000, 7), [&](uint64_t n) { ingested = n; });
    host.requestExtToHostThroughput(4096, 3, [&](double v) { throughput = v; });
    host.filesystemDidUnmount();

    ASSERT_TRUE(runUntil([&] { return throughput.has_value(); }));
    EXPECT_EQ(registered, true);
    EXPECT_EQ(relayed, std::make_tuple(Bytes{3, 2, 1}, int64_t{42}, int64_t{-7}));
    EXPECT_EQ(fileIO, std::make_pair(Bytes{9, 3}, int64_t{30}));
    EXPECT_EQ(speedTest, std::make_pair(true, std::string("report")));
    EXPECT_EQ(ingested, 100000u);
    EXPECT_EQ(throughput, 4096.0 * 3);
    ASSERT_EQ(delegate->hosts.size(), 1u);
    EXPECT_EQ(delegate->hosts[0]->roles, std::vector<int64_t>{1});
    EXPECT_TRUE(runUntil([&] { return delegate->hosts[0]->unmounts == 1; }));
    EXPECT_TRUE(errors.empty());
}

TEST_F(Calls, TheServiceCallsBackTheClientOnTheSameConnection) {
    startService();
    auto client = makeClient();
    auto exported = std::make_shared<TestClient>();
    client->setExportedObject(exported);
    std::vector<RemoteError> errors;
    auto host = client->remoteObjectProxy(recordErrors(errors));

    // Ping makes the service echo the client and answer from inside that completion.
    std::optional<bool> pinged;
    host.ping(1, [&](bool ok) { pinged = ok; });
    ASSERT_TRUE(runUntil([&] { return pinged.has_value(); }));
    EXPECT_EQ(pinged, true);

    // A client that exports nothing fails the service's echo; its ping is answered with an
    // error rather than left waiting.
    std::vector<RemoteError> silentErrors;
    makeClient()->remoteObjectProxy(recordErrors(silentErrors)).ping(1, [&](bool) {
        ADD_FAILURE() << "the echo could not have succeeded";
    });
    ASSERT_TRUE(runUntil([&] { return silentErrors.size() == 1; }));
    EXPECT_EQ(silentErrors[0].name, kErrorNoReply);

    auto proxy = delegate->accepted.at(0)->remoteObjectProxy(recordErrors(errors));
    proxy.notifyClient(0, {'{', '}'});
    std::optional<uint64_t> ingested;
    std::optional<double> chunks;
    proxy.benchmarkIngest(Bytes(10), [&](uint64_t n) { ingested = n; });
    proxy.benchmarkSendChunks(10, 4, [&](double v) { chunks = v; });
    ASSERT_TRUE(runUntil([&] { return chunks.has_value(); }));
    EXPECT_EQ(ingested, 20u);
    EXPECT_EQ(chunks, 2.5);
    ASSERT_EQ(exported->notifications.size(), 1u);
    EXPECT_EQ(exported->notifications[0], std::make_pair(int64_t{0}, Bytes{'{', '}'}));
    EXPECT_TRUE(errors.empty());
}

TEST_F(Calls, ADroppedReplyReachesTheCallerAsOneErrorAndNeverAsACompletion) {
    startService();
    std::vector<RemoteError> errors;
    auto host = makeClient()->remoteObjectProxy(recordErrors(errors));
    int completions = 0;
    host.getXPCServiceVersion([&](int64_t) { ++completions; });
    host.echo([&] { ++completions; }); // sent after it: the connection goes on working
    ASSERT_TRUE(runUntil([&] { return completions == 1 && errors.size() == 1; }));
    EXPECT_EQ(errors[0].name, kErrorNoReply);
    EXPECT_EQ(delegate->hosts.at(0)->echoes, 1);
}

TEST_F(Calls, CallsPendingWhenTheServiceClosesFailAndTheNextMessageReconnects) {
    startService();
    auto client = makeClient();
    int interruptions = 0;
    int invalidations = 0;
    client->setInterruptionHandler([&] { ++interruptions; });
    client->setInvalidationHandler([&] { ++invalidations; });
    std::vector<RemoteError> errors;
    auto host = client->remoteObjectProxy(recordErrors(errors));

    bool shutdownCompleted = false;
    host.shutdown([&](bool) { shutdownCompleted = true; });
    ASSERT_TRUE(
        runUntil([&] { return !delegate->hosts.empty() && delegate->hosts[0]->heldShutdown; }));
    delegate->accepted[0]->invalidate();
    ASSERT_TRUE(runUntil([&] { return errors.size() == 1 && interruptions == 1; }));
    EXPECT_EQ(errors[0].name, kErrorInterrupted);
    EXPECT_EQ(delegate->invalidated, 1);

    bool echoed = false;
    host.echo([&] { echoed = true; });
    ASSERT_TRUE(runUntil([&] { return echoed; }));
    EXPECT_EQ(delegate->accepted.size(), 2u);
    EXPECT_FALSE(shutdownCompleted);
    EXPECT_EQ(invalidations, 0);
    EXPECT_EQ(errors.size(), 1u);
}

TEST_F(Calls, TheServiceSeesAClosingClientAsInvalidationAndFailsItsPendingCalls) {
    startService();
    auto client = makeClient();
    auto exported = std::make_shared<TestClient>();
    exported->holdEcho = true;
    client->setExportedObject(exported);
    bool registered = false;
    client->remoteObjectProxy({}).registerClient(0, [&](bool) { registered = true; });
    ASSERT_TRUE(runUntil([&] { return registered; }));

    std::vector<RemoteError> errors;
    bool echoed = false;
    delegate->accepted.at(0)->remoteObjectProxy(recordErrors(errors)).echo([&] { echoed = true; });
    ASSERT_TRUE(runUntil([&] { return exported->heldEcho.has_value(); }));
    client->invalidate();
    ASSERT_TRUE(runUntil([&] { return delegate->invalidated == 1 && errors.size() == 1; }));
    EXPECT_EQ(errors[0].name, kErrorInterrupted);
    EXPECT_FALSE(echoed);
}

TEST_F(Calls, ADestroyedClientClosesWithoutRunningAnyOfItsHandlers) {
    startService();
    auto client = ClientConnection::connect(loop.get_executor(), kServiceName);
    int handlers = 0;
    client->setInvalidationHandler([&] { handlers += 1; });
    client->setInterruptionHandler([&] { handlers += 10; });
    client->resume();
    client->remoteObjectProxy([&](const RemoteError&) { handlers += 100; }).shutdown([&](bool) {
        ++handlers;
    });
    ASSERT_TRUE(
        runUntil([&] { return !delegate->hosts.empty() && delegate->hosts[0]->heldShutdown; }));
    client.reset();
    ASSERT_TRUE(runUntil([&] { return delegate->invalidated == 1; }));
    EXPECT_EQ(handlers, 0);
}

TEST_F(Calls, TwoConnectionsFromOneClientAreTwoConnections) {
    startService();
    auto first = makeClient();
    auto second = makeClient();
    int firstDone = 0;
    int secondDone = 0;
    first->remoteObjectProxy({}).registerClient(0, [&](bool) { ++firstDone; });
    second->remoteObjectProxy({}).registerClient(1, [&](bool) { ++secondDone; });
    ASSERT_TRUE(runUntil([&] { return firstDone == 1 && secondDone == 1; }));
    ASSERT_EQ(delegate->accepted.size(), 2u);
    EXPECT_NE(delegate->accepted[0], delegate->accepted[1]);

    first->invalidate();
    ASSERT_TRUE(runUntil([&] { return delegate->invalidated == 1; }));
    second->remoteObjectProxy({}).echo([&] { ++secondDone; });
    ASSERT_TRUE(runUntil([&] { return secondDone == 2; }));
    EXPECT_EQ(delegate->invalidated, 1);
}

TEST_F(Calls, WithNobodyListeningAndNoLauncherTheConnectionIsInvalidated) {
    auto client = makeClient();
    int invalidations = 0;
    client->setInvalidationHandler([&] { ++invalidations; });
    std::vector<RemoteError> errors;
    auto host = client->remoteObjectProxy(recordErrors(errors));
    bool completed = false;
    host.echo([&] { completed = true; });
    ASSERT_TRUE(runUntil([&] { return invalidations == 1 && errors.size() == 1; }));
    EXPECT_EQ(errors[0].name, kErrorInvalid);

    host.echo([&] { completed = true; }); // dead for good, even once a service listens
    startService();
    ASSERT_TRUE(runUntil([&] { return errors.size() == 2; }));
    EXPECT_FALSE(completed);
    EXPECT_TRUE(delegate->accepted.empty());
}

} // namespace
} // namespace brimo::ipc::test
