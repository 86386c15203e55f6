#include "shared/messages/RelayLookupMessages.h"

#include "tests/messages/TestBytes.h"

#include <functional>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace brimo {
namespace {

using test::bytesOf;
using test::textOf;

RelayItemSummary sampleSummary() {
    return RelayItemSummary{
        .identifier = "docs/report.txt",
        .filename = "report.txt",
        .isDirectory = false,
        .inode = 1234567890123ULL,
        .size = 5000000000ULL,
        .allocSize = 5000003584ULL,
        .mode = 0100644,
        .uid = 501,
        .gid = 20,
        .flags = 0x8000,
        .linkCount = 1,
        .accessTime = {1700000000, 1},
        .modifyTime = {1700000001, 2},
        .changeTime = {1700000002, 3},
        .birthTime = {1600000000, 4},
        .contentVersion = {0x01, 0x02, 0x03},
        .metadataVersion = {0xFF},
    };
}

// The sample's JSON with one key replaced (or removed when `value` is discarded).
Bytes summaryWith(const std::string& key, const nlohmann::json& value) {
    auto document = nlohmann::json::parse(textOf(encodeJson(sampleSummary())));
    if (value.is_discarded())
        document.erase(key);
    else
        document[key] = value;
    return bytesOf(document.dump());
}

const nlohmann::json removed = nlohmann::json::value_t::discarded;

TEST(RelayLookupRequest, EncodesIdentifierAloneWhenThereIsNoSource) {
    EXPECT_EQ(textOf(encodeJson(RelayLookupRequest{"a/b.txt", std::nullopt})),
              R"({"identifier":"a/b.txt"})");
    EXPECT_EQ(textOf(encodeJson(RelayLookupRequest{"x", RelayLookupSource::fsLookupByName})),
              R"({"identifier":"x","source":"fsLookupByName"})");
}

TEST(RelayLookupRequest, EverySourceRoundTripsUnderItsCaseName) {
    const std::pair<RelayLookupSource, std::string_view> sources[] = {
        {RelayLookupSource::fsGetAttributes, "fsGetAttributes"},
        {RelayLookupSource::fsLookupByName, "fsLookupByName"},
        {RelayLookupSource::fsSetAttributesRefresh, "fsSetAttributesRefresh"},
        {RelayLookupSource::fsSetAttributesAfterTruncate, "fsSetAttributesAfterTruncate"},
    };
    for (const auto& [source, name] : sources) {
        EXPECT_EQ(toString(source), name);
        const RelayLookupRequest request{"item", source};
        EXPECT_EQ(decodeRelayLookupRequest(encodeJson(request)), request) << name;
    }
}

TEST(RelayLookupRequest, DecodingChecksKeysAndSource) {
    EXPECT_EQ(decodeRelayLookupRequest(bytesOf(R"({"identifier":"i","extra":[1,2]})")),
              (RelayLookupRequest{"i", std::nullopt}));
    EXPECT_EQ(decodeRelayLookupRequest(bytesOf(R"({"identifier":"i","source":null})")),
              (RelayLookupRequest{"i", std::nullopt}));

    const std::string_view invalid[] = {
        R"({"source":"fsGetAttributes"})",
        R"({"identifier":"i","source":"fsDelete"})",
        R"({"identifier":"i","source":"FSGETATTRIBUTES"})",
        R"({"identifier":"i","source":1})",
        R"({"identifier":7})",
        R"({"identifier":null})",
        R"(["identifier","i"])",
        R"({"identifier":"i")",
        R"({"identifier":"i"} {})",
        "",
    };
    for (const auto text : invalid)
        EXPECT_FALSE(decodeRelayLookupRequest(bytesOf(text))) << text;
}

TEST(RelayItemSummary, EncodesAllKeysInOrder) {
    EXPECT_EQ(textOf(encodeJson(sampleSummary())),
              R"({"identifier":"docs/report.txt","filename":"report.txt","isDirectory":false,)"
              R"("inode":1234567890123,"size":5000000000,"allocSize":5000003584,"mode":33188,)"
              R"("uid":501,"gid":20,"flags":32768,"linkCount":1,)"
              R"("accessTime":{"tvSec":1700000000,"tvNsec":1},)"
              R"("modifyTime":{"tvSec":1700000001,"tvNsec":2},)"
              R"("changeTime":{"tvSec":1700000002,"tvNsec":3},)"
              R"("birthTime":{"tvSec":1600000000,"tvNsec":4},)"
              R"("contentVersion":"AQID","metadataVersion":"/w=="})");
}

TEST(RelayItemSummary, RoundTripsEdgeValues) {
    auto summary = sampleSummary();
    summary.isDirectory = true;
    summary.contentVersion = {};
    summary.inode = UINT64_MAX;
    summary.mode = UINT32_MAX;
    summary.accessTime = {-1, 999'999'999};
    summary.birthTime = {INT64_MIN, 0};
    summary.filename = "Grüße \"quoted\" ✓";

    const auto encoded = encodeJson(summary);
    EXPECT_NE(textOf(encoded).find(R"("contentVersion":"")"), std::string::npos);
    EXPECT_EQ(decodeRelayItemSummary(encoded), summary);
}

TEST(RelayItemSummary, EqualityComparesEveryField) {
    const std::vector<std::function<void(RelayItemSummary&)>> changes = {
        [](auto& s) { s.identifier += "x"; },
        [](auto& s) { s.filename += "x"; },
        [](auto& s) { s.isDirectory = true; },
        [](auto& s) { ++s.inode; },
        [](auto& s) { ++s.size; },
        [](auto& s) { ++s.allocSize; },
        [](auto& s) { ++s.mode; },
        [](auto& s) { ++s.uid; },
        [](auto& s) { ++s.gid; },
        [](auto& s) { ++s.flags; },
        [](auto& s) { ++s.linkCount; },
        [](auto& s) { ++s.accessTime.tvSec; },
        [](auto& s) { ++s.modifyTime.tvNsec; },
        [](auto& s) { ++s.changeTime.tvSec; },
        [](auto& s) { ++s.birthTime.tvNsec; },
        [](auto& s) { s.contentVersion.push_back(0); },
        [](auto& s) { s.metadataVersion.clear(); },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        auto changed = sampleSummary();
        changes[i](changed);
        EXPECT_NE(changed, sampleSummary()) << "change " << i;
    }
}

TEST(RelayItemSummary, EveryKeyIsRequired) {
    const auto document = nlohmann::json::parse(textOf(encodeJson(sampleSummary())));
    ASSERT_EQ(document.size(), 17u);
    for (const auto& [key, value] : document.items())
        EXPECT_FALSE(decodeRelayItemSummary(summaryWith(key, removed))) << key;

    auto timeWithoutNsec = summaryWith("modifyTime", nlohmann::json{{"tvSec", 1}});
    EXPECT_FALSE(decodeRelayItemSummary(timeWithoutNsec));
}

TEST(RelayItemSummary, AcceptsWholeNumbersWithinEachFieldsRange) {
    const std::pair<std::string, nlohmann::json> accepted[] = {
        {"mode", 4294967295u},
        {"inode", 18446744073709551615u},
        {"size", 5.0},
        {"accessTime", {{"tvSec", -9223372036854775807LL - 1}, {"tvNsec", 2147483647}}},
        {"changeTime", {{"tvSec", 0}, {"tvNsec", -2147483648LL}}},
        {"unknownKey", {{"nested", true}}},
    };
    for (const auto& [key, value] : accepted)
        EXPECT_TRUE(decodeRelayItemSummary(summaryWith(key, value))) << key << " = " << value;
}

TEST(RelayItemSummary, RejectsValuesOfTheWrongTypeOrRange) {
    const std::pair<std::string, nlohmann::json> rejected[] = {
        {"identifier", 12},
        {"filename", nullptr},
        {"isDirectory", 1},
        {"isDirectory", "true"},
        {"inode", "5"},
        {"size", -1},
        {"allocSize", 1.5},
        {"allocSize", 1.8446744073709552e19}, // 2^64 as a float
        {"mode", 4294967296u},
        {"uid", -1},
        {"linkCount", true},
        {"accessTime", "1700000000"},
        {"accessTime", {{"tvSec", 0}, {"tvNsec", 2147483648u}}},
        {"accessTime", {{"tvSec", 0}, {"tvNsec", -2147483649LL}}},
        {"birthTime", {{"tvSec", 9223372036854775808u}, {"tvNsec", 0}}},
        {"birthTime", {{"tvSec", 0.25}, {"tvNsec", 0}}},
        {"contentVersion", "AQI"},
        {"contentVersion", 3},
        {"metadataVersion", nlohmann::json::array({255})},
    };
    for (const auto& [key, value] : rejected)
        EXPECT_FALSE(decodeRelayItemSummary(summaryWith(key, value))) << key << " = " << value;
}

TEST(RelayCodes, UsbMuxRelayErrorAcceptsZeroToTwelve) {
    for (int64_t raw = 0; raw <= 12; ++raw) {
        const auto error = usbMuxRelayErrorFromRaw(raw);
        ASSERT_TRUE(error) << raw;
        EXPECT_EQ(static_cast<int64_t>(*error), raw);
    }
    EXPECT_FALSE(usbMuxRelayErrorFromRaw(-1));
    EXPECT_FALSE(usbMuxRelayErrorFromRaw(13));
    EXPECT_EQ(usbMuxRelayErrorFromRaw(9), UsbMuxRelayError::deviceStatus);
    EXPECT_EQ(usbMuxRelayErrorFromRaw(7), UsbMuxRelayError::payloadTooLarge);
}

TEST(RelayCodes, DeviceStatusFromRawAcceptsZeroToNine) {
    for (int64_t raw = 0; raw <= 9; ++raw)
        EXPECT_EQ(relayDeviceStatusFromRaw(raw), static_cast<RelayDeviceStatus>(raw));
    EXPECT_FALSE(relayDeviceStatusFromRaw(-1));
    EXPECT_FALSE(relayDeviceStatusFromRaw(10));
}

TEST(RelayCodes, ResponseStatusOutsideZeroToNineIsReportedAsFive) {
    EXPECT_EQ(relayDeviceStatusFromResponse(0), RelayDeviceStatus::success);
    EXPECT_EQ(relayDeviceStatusFromResponse(3), RelayDeviceStatus::code3);
    EXPECT_EQ(relayDeviceStatusFromResponse(9), RelayDeviceStatus::code9);
    EXPECT_EQ(relayDeviceStatusFromResponse(10), RelayDeviceStatus::code5);
    EXPECT_EQ(relayDeviceStatusFromResponse(12), RelayDeviceStatus::code5);
    EXPECT_EQ(relayDeviceStatusFromResponse(65535), RelayDeviceStatus::code5);
}

} // namespace
} // namespace brimo
