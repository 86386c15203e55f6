#include "shared/BridgeContract.h"
#include "shared/OnceReply.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace brimo {
namespace {

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
std::string asText(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

TEST(BridgeContract, RolesAndNotificationCodesAcceptOnlyTheirRawValues) {
    EXPECT_EQ(tarvelBridgeClientRoleFromRaw(0), TarvelBridgeClientRole::fileProvider);
    EXPECT_EQ(tarvelBridgeClientRoleFromRaw(2), TarvelBridgeClientRole::iOS);
    EXPECT_FALSE(tarvelBridgeClientRoleFromRaw(3));
    EXPECT_FALSE(tarvelBridgeClientRoleFromRaw(-1));
    for (int64_t raw : {0, 2, 3, 4})
        EXPECT_EQ(static_cast<int64_t>(*bridgeNotifyMessageFromRaw(raw)), raw);
    EXPECT_FALSE(bridgeNotifyMessageFromRaw(1));
    EXPECT_FALSE(bridgeNotifyMessageFromRaw(5));
}

TEST(BridgeContract, PayloadsEncodeTheirKeysInOrder) {
    EXPECT_EQ(asText(encodeJson(NotifyBridgeStateChangedPayload{2, false})),
              R"({"source":2,"connected":false})");
    const auto session = *Uuid::parse("1b4e28ba-2fa1-11d2-883f-0016d3cca427");
    EXPECT_EQ(asText(encodeJson(FileIOProgressPayload{session, 5, 50, 10})),
              R"({"sessionID":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427","completedBytes":5,)"
              R"("totalBytes":50,"percent":10})");
    EXPECT_EQ(asText(encodeJson(ItemMutationNotifyPayload{ItemMutationNotifyPayload::Kind::deleted,
                                                          "DCIM/a.jpg"})),
              R"({"kind":"deleted","relayID":"DCIM/a.jpg"})");
    EXPECT_EQ(
        asText(encodeJson(MountControlNotifyPayload{MountControlNotifyPayload::Action::unmount})),
        R"({"action":"unmount"})");
}

TEST(BridgeContract, PayloadsDecodeStrictlyAndIgnoreUnknownKeys) {
    EXPECT_EQ(decodeNotifyBridgeStateChangedPayload(text(R"({"connected":true,"source":0,"x":1})")),
              (NotifyBridgeStateChangedPayload{0, true}));
    EXPECT_FALSE(decodeNotifyBridgeStateChangedPayload(text(R"({"source":0})")));
    EXPECT_FALSE(decodeNotifyBridgeStateChangedPayload(text(R"({"source":"0","connected":true})")));

    const FileIOProgressPayload progress{Uuid::random(), 100, 100, 100};
    EXPECT_EQ(decodeFileIOProgressPayload(encodeJson(progress)), progress);
    EXPECT_FALSE(decodeFileIOProgressPayload(text(
        R"({"sessionID":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427","completedBytes":1,"totalBytes":1,"percent":256})")));
    EXPECT_FALSE(decodeFileIOProgressPayload(
        text(R"({"sessionID":"not-a-uuid","completedBytes":1,"totalBytes":1,"percent":10})")));

    EXPECT_EQ(decodeItemMutationNotifyPayload(text(R"({"kind":"created","relayID":"a"})")),
              (ItemMutationNotifyPayload{ItemMutationNotifyPayload::Kind::created, "a"}));
    EXPECT_FALSE(decodeItemMutationNotifyPayload(text(R"({"kind":"renamed","relayID":"a"})")));
    EXPECT_EQ(decodeMountControlNotifyPayload(text(R"({"action":"mount"})"))->action,
              MountControlNotifyPayload::Action::mount);
    EXPECT_FALSE(decodeMountControlNotifyPayload(text(R"({"action":"eject"})")));
    EXPECT_FALSE(decodeMountControlNotifyPayload(text("not json")));
}

TEST(OnceReply, RacingDeliveriesResumeTheWaiterExactlyOnce) {
    std::atomic<int> calls{0};
    std::atomic<int> value{-1};
    OnceReplyHolder<int> holder{std::make_shared<OnceReply<int>>([&](int v) {
        ++calls;
        value = v;
    })};
    std::atomic<int> winners{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 8; ++i)
        racers.emplace_back([&, i] { winners += holder.once->deliver(i) ? 1 : 0; });
    for (auto& racer : racers)
        racer.join();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(winners, 1);
    EXPECT_GE(value, 0);
    EXPECT_FALSE(holder.once->deliver(99));
    EXPECT_NE(value, 99);
}

} // namespace
} // namespace brimo
