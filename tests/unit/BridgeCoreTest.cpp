#include "service/BridgeCore.h"
#include "service/tunnel/TunnelEngine.h"
#include "shared/Log.h"
#include "tests/common/ServiceCoreParts.h"

#include <asio/io_context.hpp>

#include <gtest/gtest.h>

namespace brimo {
namespace {

struct Sent {
    std::string client;
    int64_t code;
    std::string json;
    bool operator==(const Sent&) const = default;
};

// The IPC layer's part, faked: a connection whose proxy records what the service sends.
class FakeConnection : public BridgeClientConnection {
public:
    FakeConnection(std::string name, std::vector<Sent>& sent)
        : name_(std::move(name))
        , sent_(sent) {}
    HostID exportedObject() const override { return host_; }
    std::shared_ptr<BridgeClientProxy>
    remoteProxy(std::function<void(const std::string&)> errorHandler) override {
        lastErrorHandler = std::move(errorHandler);
        return std::make_shared<Proxy>(*this);
    }
    std::function<void(const std::string&)> lastErrorHandler;

private:
    struct Proxy : test::ImmediateDiagnostics {
        explicit Proxy(FakeConnection& c)
            : connection(c) {}
        void notifyClient(int64_t code, Bytes param) override {
            connection.sent_.push_back(
                {connection.name_, code, std::string(param.begin(), param.end())});
        }
        FakeConnection& connection;
    };
    HostID host_ = newHostID();
    std::string name_;
    std::vector<Sent>& sent_;
};

constexpr int64_t kFileProvider = 0;
constexpr int64_t kDesktopApp = 1;
constexpr int64_t kIOS = 2;

class BridgeCoreTest : public testing::Test {
protected:
    std::shared_ptr<FakeConnection> connect(const std::string& name) {
        auto connection = std::make_shared<FakeConnection>(name, sent);
        core.addPending(connection);
        return connection;
    }
    // Lets the queued notification sends run, and returns what they sent.
    std::vector<Sent> drain() {
        loop.restart();
        loop.poll();
        return std::exchange(sent, {});
    }
    static Sent state(const std::string& client, int source, bool connected) {
        return {client, 0,
                "{\"source\":" + std::to_string(source) +
                    ",\"connected\":" + (connected ? "true" : "false") + "}"};
    }

    log::ScopedMemorySink log;
    std::vector<Sent> sent;
    asio::io_context loop;
    UsbMuxService usbMux{loop.get_executor()};
    TunnelEngine engine{loop.get_executor()};
    test::RecordingLinkObserver probe;
    BridgeCore core{loop.get_executor(), usbMux, engine, probe};
};

TEST_F(BridgeCoreTest, ClientsSeeRegistrationsAndThePhoneAsTheTableSays) {
    auto app = connect("app");
    ASSERT_TRUE(core.registerClient(app->exportedObject(), kDesktopApp));
    EXPECT_EQ(drain(), (std::vector<Sent>{state("app", 0, false), state("app", 2, false)}));

    auto extension = connect("ext");
    ASSERT_TRUE(core.registerClient(extension->exportedObject(), kFileProvider));
    EXPECT_EQ(drain(), (std::vector<Sent>{state("app", 0, true), state("app", 2, false),
                                          state("ext", 2, false)}));

    core.handleDeviceEvent({1, "PHONE-1"});
    EXPECT_EQ(core.usbMuxConnection(), "PHONE-1");
    EXPECT_EQ(drain(), (std::vector<Sent>{state("app", 2, true), state("ext", 2, true)}));

    // A removal for another UDID still clears the phone.
    core.handleDeviceEvent({2, "PHONE-2"});
    EXPECT_FALSE(core.usbMuxConnection());
    EXPECT_EQ(drain(), (std::vector<Sent>{state("app", 2, false), state("ext", 2, false)}));
    EXPECT_EQ(probe.events, (std::vector<std::string>{"connected", "disconnected"}));

    core.connectionClosed(extension.get());
    EXPECT_EQ(drain(), (std::vector<Sent>{state("app", 0, false)}));
    core.connectionClosed(app.get());
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>{"desktop app registered", "file provider registered",
                                        "usb device event type=1 udid=PHONE-1",
                                        "usb device event type=2 udid=PHONE-2",
                                        "file provider disconnected", "desktop app disconnected"}));
}

TEST_F(BridgeCoreTest, AConnectionRegisteringAgainMovesToItsNewRole) {
    auto client = connect("c");
    ASSERT_TRUE(core.registerClient(client->exportedObject(), kDesktopApp));
    ASSERT_TRUE(core.registerClient(client->exportedObject(), kFileProvider));
    EXPECT_EQ(core.role(client->exportedObject()), kFileProvider);
    EXPECT_FALSE(core.proxy(kDesktopApp));
    EXPECT_TRUE(core.proxy(kFileProvider));
    // An object no connection exports cannot register.
    const HostID stranger = newHostID();
    EXPECT_FALSE(core.registerClient(stranger, kDesktopApp));
}

TEST_F(BridgeCoreTest, ASecondDesktopAppTakesOverAndTheFirstClosingChangesNothing) {
    auto first = connect("first");
    auto second = connect("second");
    ASSERT_TRUE(core.registerClient(first->exportedObject(), kDesktopApp));
    ASSERT_TRUE(core.registerClient(second->exportedObject(), kDesktopApp));
    drain();
    EXPECT_FALSE(core.role(first->exportedObject()));
    core.connectionClosed(first.get());
    EXPECT_EQ(core.role(second->exportedObject()), kDesktopApp);
    EXPECT_TRUE(drain().empty());
    EXPECT_FALSE(log->contains("desktop app disconnected"));
    core.handleDeviceEvent({1, "P"});
    EXPECT_EQ(drain(), (std::vector<Sent>{state("second", 2, true)}));
}

TEST_F(BridgeCoreTest, PhoneLinkAndUnknownRolesRegisterSilentlyAndPublishBothStates) {
    auto app = connect("app");
    ASSERT_TRUE(core.registerClient(app->exportedObject(), kDesktopApp));
    drain();
    log->clear();
    auto link = connect("link");
    ASSERT_TRUE(core.registerClient(link->exportedObject(), kIOS));
    EXPECT_EQ(drain(), (std::vector<Sent>{state("app", 0, false), state("app", 2, false)}));
    auto odd = connect("odd");
    ASSERT_TRUE(core.registerClient(odd->exportedObject(), 7));
    EXPECT_EQ(core.role(odd->exportedObject()), 7);
    drain();
    EXPECT_TRUE(log->messages().empty());
    // A connection registered as the phone link is not forgotten when it closes.
    core.connectionClosed(link.get());
    EXPECT_EQ(core.role(link->exportedObject()), kIOS);
}

TEST_F(BridgeCoreTest, TwoConnectionsOfOneClientArePendingApartAndEventsWithoutClientsSendNothing) {
    auto one = connect("one");
    auto two = connect("two");
    core.connectionClosed(one.get());
    EXPECT_FALSE(core.registerClient(one->exportedObject(), kDesktopApp));
    EXPECT_TRUE(core.registerClient(two->exportedObject(), kDesktopApp));
    core.connectionClosed(two.get());
    drain();
    core.handleDeviceEvent({1, "P"});
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(core.usbMuxConnection(), "P");
}

TEST_F(BridgeCoreTest, AFailingProxyIsLoggedWithItsRole) {
    auto app = connect("app");
    ASSERT_TRUE(core.registerClient(app->exportedObject(), kDesktopApp));
    ASSERT_TRUE(core.proxy(kDesktopApp));
    app->lastErrorHandler("connection reset");
    EXPECT_TRUE(log->contains("client proxy error (1): connection reset"));
}

} // namespace
} // namespace brimo
