#include "shared/messages/FileSystemMessages.h"

#include "tests/messages/TestBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace brimo {
namespace {

using test::bytesOf;
using test::textOf;

RelayItemSummary summaryNamed(const std::string& parent, const std::string& name) {
    return RelayItemSummary{
        .identifier = childIdentifier(parent, name),
        .filename = name,
        .isDirectory = name.ends_with("dir"),
        .inode = 77 + name.size(),
        .size = 5000000000ULL,
        .allocSize = 4096,
        .mode = 0100600,
        .uid = 1000,
        .gid = 1000,
        .flags = 0,
        .linkCount = 1,
        .accessTime = {1700000000, 1},
        .modifyTime = {1700000001, 999'999'999},
        .changeTime = {-5, 3},
        .birthTime = {0, 0},
        .contentVersion = {0x01, 0x02},
        .metadataVersion = {},
    };
}

// `document` with one key replaced, or removed when `value` is discarded.
template <typename Record>
Bytes documentWith(const Record& record, const std::string& key, const nlohmann::json& value) {
    auto document = nlohmann::json::parse(textOf(encodeJson(record)));
    if (value.is_discarded())
        document.erase(key);
    else
        document[key] = value;
    return bytesOf(document.dump());
}

const nlohmann::json removed = nlohmann::json::value_t::discarded;

// Names that no document may carry where a name belongs.
const std::vector<std::string> invalidNames = {
    "", ".", "..", "a/b", "/", std::string("a\0b", 3), std::string(256, 'n'),
};

TEST(ItemNames, FollowTheComponentRules) {
    for (const std::string name :
         {"a", "...", ".hidden", "a b", "Grüße ✓ 😀", "\x7f", "a\\b", "name.txt"})
        EXPECT_TRUE(isValidItemName(name)) << name;
    for (const std::string& name : invalidNames)
        EXPECT_FALSE(isValidItemName(name)) << name;

    std::string longest;
    for (int i = 0; i < 85; ++i)
        longest += "€"; // three bytes each
    EXPECT_TRUE(isValidItemName(longest));
    EXPECT_FALSE(isValidItemName(longest + "x")) << "the limit counts bytes, not characters";
    EXPECT_TRUE(isValidItemName(std::string(255, 'n')));

    // Bytes that are no UTF-8 could never travel in a JSON document.
    for (const char* malformed : {"\xff", "\xc0\xaf", "\xe2\x82", "\xed\xa0\x80",
                                  "\xf4\x90\x80\x80", "ok\x80", "\xf8\x88\x80\x80\x80"})
        EXPECT_FALSE(isValidItemName(malformed)) << testing::PrintToString(malformed);
    for (const char* wellFormed :
         {"\xc2\x80", "\xed\x9f\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(isValidItemName(wellFormed)) << testing::PrintToString(wellFormed);
}

TEST(ItemNames, ChildIdentifiersJoinWithASlashExceptBelowTheRoot) {
    EXPECT_EQ(childIdentifier("", "a"), "a");
    EXPECT_EQ(childIdentifier("a", "b"), "a/b");
    EXPECT_EQ(childIdentifier("a/b", "c d"), "a/b/c d");
}

TEST(RelayListDirectoryRequest, LeavesOutAfterOnTheFirstPage) {
    EXPECT_EQ(textOf(encodeJson(RelayListDirectoryRequest{"docs", std::nullopt, 500})),
              R"({"identifier":"docs","limit":500})");
    const RelayListDirectoryRequest next{"", "last name", 4294967295u};
    EXPECT_EQ(textOf(encodeJson(next)),
              R"({"identifier":"","after":"last name","limit":4294967295})");
    EXPECT_EQ(decodeRelayListDirectoryRequest(encodeJson(next)), next);
    EXPECT_EQ(decodeRelayListDirectoryRequest(
                  bytesOf(R"({"identifier":"d","after":null,"limit":1,"extra":{}})")),
              (RelayListDirectoryRequest{"d", std::nullopt, 1}));
}

TEST(RelayListDirectoryRequest, RejectsMissingKeysBadTypesAPageOfNothingAndBadNames) {
    const RelayListDirectoryRequest request{"docs", "a", 10};
    const std::pair<std::string, nlohmann::json> rejected[] = {
        {"identifier", removed}, {"identifier", 3},      {"limit", removed}, {"limit", 0},
        {"limit", -1},           {"limit", 4294967296u}, {"limit", "10"},    {"after", 5},
        {"after", true},
    };
    for (const auto& [key, value] : rejected)
        EXPECT_FALSE(decodeRelayListDirectoryRequest(documentWith(request, key, value)))
            << key << " = " << value;
    for (const std::string& name : invalidNames)
        EXPECT_FALSE(decodeRelayListDirectoryRequest(documentWith(request, "after", name)))
            << testing::PrintToString(name);
    for (const std::string_view text : {"", "[]", R"({"identifier":"d","limit":1)", "null"})
        EXPECT_FALSE(decodeRelayListDirectoryRequest(bytesOf(text))) << text;
}

TEST(RelayDirectoryPage, ItemsAreTheSummariesOwnDocuments) {
    const RelayDirectoryPage page{{summaryNamed("docs", "a"), summaryNamed("docs", "b dir")}, true};
    const std::string text = textOf(encodeJson(page));
    EXPECT_EQ(text, R"({"items":[)" + textOf(encodeJson(page.items[0])) + "," +
                        textOf(encodeJson(page.items[1])) + R"(],"more":true})");
    EXPECT_EQ(decodeRelayDirectoryPage(encodeJson(page)), page);

    const RelayDirectoryPage empty{{}, false};
    EXPECT_EQ(textOf(encodeJson(empty)), R"({"items":[],"more":false})");
    EXPECT_EQ(decodeRelayDirectoryPage(encodeJson(empty)), empty);
}

TEST(RelayDirectoryPage, AThousandEntriesRoundTripInOrder) {
    RelayDirectoryPage page;
    for (int i = 0; i < 1000; ++i)
        page.items.push_back(summaryNamed("big", "entry " + std::to_string(i)));
    const auto decoded = decodeRelayDirectoryPage(encodeJson(page));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, page);
}

TEST(RelayDirectoryPage, RejectsAPageWithAnyBadItem) {
    const RelayDirectoryPage page{{summaryNamed("", "x"), summaryNamed("", "y")}, false};
    auto withItems = [&](const nlohmann::json& items) {
        return documentWith(page, "items", items);
    };
    auto items = nlohmann::json::parse(textOf(encodeJson(page)))["items"];

    EXPECT_FALSE(decodeRelayDirectoryPage(documentWith(page, "items", removed)));
    EXPECT_FALSE(decodeRelayDirectoryPage(documentWith(page, "more", removed)));
    EXPECT_FALSE(decodeRelayDirectoryPage(documentWith(page, "more", "false")));
    EXPECT_FALSE(decodeRelayDirectoryPage(withItems(items[0])))
        << "an object where the array belongs";
    EXPECT_FALSE(decodeRelayDirectoryPage(withItems(nlohmann::json::array({items[0], 7}))));
    EXPECT_FALSE(decodeRelayDirectoryPage(withItems(nlohmann::json::array({items[0], nullptr}))));
    auto incomplete = items;
    incomplete[1].erase("metadataVersion");
    EXPECT_FALSE(decodeRelayDirectoryPage(withItems(incomplete))) << "the last item lacks a key";
    auto mistyped = items;
    mistyped[0]["modifyTime"]["tvSec"] = "soon";
    EXPECT_FALSE(decodeRelayDirectoryPage(withItems(mistyped)));
    EXPECT_TRUE(decodeRelayDirectoryPage(withItems(items)));
}

TEST(RelayCreateItemRequest, RoundTripsAndRefusesBadNames) {
    const RelayCreateItemRequest request{"docs", "new dir", true, 01755};
    EXPECT_EQ(textOf(encodeJson(request)),
              R"({"parentIdentifier":"docs","name":"new dir","isDirectory":true,"mode":1005})");
    EXPECT_EQ(decodeRelayCreateItemRequest(encodeJson(request)), request);
    const RelayCreateItemRequest file{"", "f", false, 0};
    EXPECT_EQ(decodeRelayCreateItemRequest(encodeJson(file)), file);

    for (const std::string& name : invalidNames)
        EXPECT_FALSE(decodeRelayCreateItemRequest(documentWith(request, "name", name)))
            << testing::PrintToString(name);
    EXPECT_FALSE(decodeRelayCreateItemRequest(
        bytesOf(R"({"parentIdentifier":"","name":"a\u0000b","isDirectory":false,"mode":0})")));
    const std::pair<std::string, nlohmann::json> rejected[] = {
        {"parentIdentifier", removed},
        {"name", removed},
        {"name", 1},
        {"isDirectory", removed},
        {"isDirectory", 0},
        {"mode", removed},
        {"mode", -420},
        {"mode", 1.5},
    };
    for (const auto& [key, value] : rejected)
        EXPECT_FALSE(decodeRelayCreateItemRequest(documentWith(request, key, value)))
            << key << " = " << value;
}

TEST(RelayRemoveItemRequest, RoundTripsAndNeedsBothKeys) {
    for (const RelayRemoveItemRequest request :
         {RelayRemoveItemRequest{"a/b", true}, RelayRemoveItemRequest{"c", false}})
        EXPECT_EQ(decodeRelayRemoveItemRequest(encodeJson(request)), request);
    EXPECT_EQ(textOf(encodeJson(RelayRemoveItemRequest{"a/b", true})),
              R"({"identifier":"a/b","isDirectory":true})");
    const RelayRemoveItemRequest request{"x", false};
    EXPECT_FALSE(decodeRelayRemoveItemRequest(documentWith(request, "identifier", removed)));
    EXPECT_FALSE(decodeRelayRemoveItemRequest(documentWith(request, "isDirectory", removed)));
    EXPECT_FALSE(decodeRelayRemoveItemRequest(documentWith(request, "isDirectory", "false")));
}

TEST(RelayRenameItemRequest, RoundTripsAndRefusesBadNewNames) {
    const RelayRenameItemRequest request{"a/b", "", "c", false};
    EXPECT_EQ(
        textOf(encodeJson(request)),
        R"({"identifier":"a/b","newParentIdentifier":"","newName":"c","replaceExisting":false})");
    EXPECT_EQ(decodeRelayRenameItemRequest(encodeJson(request)), request);
    const RelayRenameItemRequest replacing{"x", "y/z", "Grüße", true};
    EXPECT_EQ(decodeRelayRenameItemRequest(encodeJson(replacing)), replacing);

    for (const std::string& name : invalidNames)
        EXPECT_FALSE(decodeRelayRenameItemRequest(documentWith(request, "newName", name)))
            << testing::PrintToString(name);
    for (const char* key : {"identifier", "newParentIdentifier", "newName", "replaceExisting"})
        EXPECT_FALSE(decodeRelayRenameItemRequest(documentWith(request, key, removed))) << key;
    EXPECT_FALSE(decodeRelayRenameItemRequest(documentWith(request, "replaceExisting", 1)));
}

TEST(RelaySetAttributesRequest, CarriesOnlyTheAttributesPresent) {
    EXPECT_EQ(textOf(encodeJson(RelaySetAttributesRequest{"f", {}, {}, {}})),
              R"({"identifier":"f"})");
    const RelaySetAttributesRequest all{"d/f", 0644, RelayTimespec{-1, 999'999'999},
                                        RelayTimespec{1700000000, 0}};
    EXPECT_EQ(textOf(encodeJson(all)),
              R"({"identifier":"d/f","mode":420,"accessTime":{"tvSec":-1,"tvNsec":999999999},)"
              R"("modifyTime":{"tvSec":1700000000,"tvNsec":0}})");
    EXPECT_EQ(decodeRelaySetAttributesRequest(encodeJson(all)), all);

    // Each attribute on its own, the others left out of the document.
    const RelaySetAttributesRequest alone[] = {
        {"f", 0, {}, {}},
        {"f", {}, RelayTimespec{5, 6}, {}},
        {"f", {}, {}, RelayTimespec{7, 8}},
    };
    for (const auto& request : alone) {
        const auto text = textOf(encodeJson(request));
        EXPECT_EQ(text.find("mode") != std::string::npos, request.mode.has_value()) << text;
        EXPECT_EQ(text.find("accessTime") != std::string::npos, request.accessTime.has_value());
        EXPECT_EQ(text.find("modifyTime") != std::string::npos, request.modifyTime.has_value());
        EXPECT_EQ(decodeRelaySetAttributesRequest(encodeJson(request)), request) << text;
    }
    EXPECT_EQ(decodeRelaySetAttributesRequest(
                  bytesOf(R"({"identifier":"f","mode":null,"accessTime":null})")),
              (RelaySetAttributesRequest{"f", {}, {}, {}}));
}

TEST(RelaySetAttributesRequest, RejectsBadTypesAndTimesNoClockHas) {
    const RelaySetAttributesRequest request{"f", 0600, RelayTimespec{1, 2}, RelayTimespec{3, 4}};
    const std::pair<std::string, nlohmann::json> rejected[] = {
        {"identifier", removed},
        {"mode", "0600"},
        {"mode", -1},
        {"mode", 4294967296u},
        {"accessTime", 1700000000},
        {"accessTime", {{"tvSec", 1}}},
        {"modifyTime", {{"tvSec", 1}, {"tvNsec", 1000000000}}},
        {"modifyTime", {{"tvSec", 1}, {"tvNsec", -1}}},
        // The kernel's markers for "now" and "leave alone" are not times.
        {"accessTime", {{"tvSec", 0}, {"tvNsec", (1 << 30) - 1}}},
        {"accessTime", {{"tvSec", 0}, {"tvNsec", (1 << 30) - 2}}},
    };
    for (const auto& [key, value] : rejected)
        EXPECT_FALSE(decodeRelaySetAttributesRequest(documentWith(request, key, value)))
            << key << " = " << value;
}

TEST(RelayVolumeStatistics, RoundTripsAndNeedsEveryKey) {
    const RelayVolumeStatistics statistics{UINT64_MAX, 1, 0, 1000000, 999999, 4096, 255};
    EXPECT_EQ(textOf(encodeJson(statistics)),
              R"({"totalBytes":18446744073709551615,"freeBytes":1,"availableBytes":0,)"
              R"("totalFiles":1000000,"freeFiles":999999,"blockSize":4096,"maxNameLength":255})");
    EXPECT_EQ(decodeRelayVolumeStatistics(encodeJson(statistics)), statistics);
    const auto document = nlohmann::json::parse(textOf(encodeJson(statistics)));
    ASSERT_EQ(document.size(), 7u);
    for (const auto& [key, value] : document.items())
        EXPECT_FALSE(decodeRelayVolumeStatistics(documentWith(statistics, key, removed))) << key;
    EXPECT_FALSE(decodeRelayVolumeStatistics(documentWith(statistics, "blockSize", 4294967296u)));
    EXPECT_FALSE(decodeRelayVolumeStatistics(documentWith(statistics, "freeBytes", -1)));
}

TEST(RelayFailure, CarriesAnyReasonForTheReaderToMap) {
    EXPECT_EQ(textOf(encodeJson(RelayFailure{"notEmpty"})), R"({"reason":"notEmpty"})");
    for (const char* reason : {"notEmpty", "nameTooLong", "noSpace", "permissionDenied", "busy",
                               "a reason from a later phone"})
        EXPECT_EQ(decodeRelayFailure(encodeJson(RelayFailure{reason})), RelayFailure{reason});
    EXPECT_FALSE(decodeRelayFailure(bytesOf("{}")));
    EXPECT_FALSE(decodeRelayFailure(bytesOf(R"({"reason":7})")));
    EXPECT_FALSE(decodeRelayFailure(bytesOf("")));
}

} // namespace
} // namespace brimo
