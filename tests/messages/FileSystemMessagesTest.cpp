#include "shared/messages/FileSystemMessages.h"

#include "tests/messages/TestBytes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace brimo {
namespace {

using test::bytesOf;
using test::textOf;

const nlohmann::json removed = nlohmann::json::value_t::discarded;

// The record's document with one key replaced, or removed when `value` is discarded.
template <typename Record>
Bytes documentWith(const Record& record, const std::string& key, const nlohmann::json& value) {
    auto document = nlohmann::json::parse(textOf(encodeJson(record)));
    if (value.is_discarded())
        document.erase(key);
    else
        document[key] = value;
    return bytesOf(document.dump());
}

// The record decodes from its own document, and from no document that lacks one of its keys.
template <typename Record, typename Decode>
void expectRoundTripWithEveryKeyRequired(const Record& record, Decode decode) {
    EXPECT_EQ(decode(encodeJson(record)), record) << textOf(encodeJson(record));
    const auto document = nlohmann::json::parse(textOf(encodeJson(record)));
    for (const auto& [key, value] : document.items())
        EXPECT_FALSE(decode(documentWith(record, key, removed))) << key;
}

// Names that no document may carry where a name belongs.
const std::vector<std::string> invalidNames = {
    "", ".", "..", "a/b", "/", std::string("a\0b", 3), std::string(256, 'n'),
};

RelayItemSummary summaryNamed(const std::string& name) {
    RelayItemSummary summary;
    summary.identifier = childIdentifier("docs", name);
    summary.filename = name;
    summary.isDirectory = name == "dir";
    summary.inode = 77;
    summary.size = 5000000000ULL;
    summary.mode = 0100600;
    summary.modifyTime = {-5, 999'999'999};
    summary.contentVersion = {0x01, 0x02};
    return summary;
}

TEST(ItemNames, FollowTheComponentRules) {
    for (const std::string name : {"a", "...", ".hidden", "a b", "Grüße ✓ 😀", "a\\b", "\x7f",
                                   "\xc2\x80", "\xed\x9f\xbf", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(isValidItemName(name)) << name;
    for (const std::string& name : invalidNames)
        EXPECT_FALSE(isValidItemName(name)) << testing::PrintToString(name);
    // Overlong forms, surrogates, beyond U+10FFFF, cut short, stray continuation bytes.
    for (const std::string name :
         {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "ok\x80"})
        EXPECT_FALSE(isValidItemName(name)) << testing::PrintToString(name);

    std::string longest;
    for (int i = 0; i < 85; ++i)
        longest += "€"; // three bytes each
    EXPECT_TRUE(isValidItemName(longest));
    EXPECT_FALSE(isValidItemName(longest + "x")) << "the limit counts bytes, not characters";

    EXPECT_EQ(childIdentifier("", "a"), "a");
    EXPECT_EQ(childIdentifier("a/b", "c d"), "a/b/c d");
}

TEST(FileSystemDocuments, EncodeTheirKeysInOrderAndLeaveOutWhatIsAbsent) {
    const std::pair<Bytes, std::string_view> documents[] = {
        {encodeJson(RelayListDirectoryRequest{"docs", std::nullopt, 500}),
         R"({"identifier":"docs","limit":500})"},
        {encodeJson(RelayListDirectoryRequest{"", "b", 1}),
         R"({"identifier":"","after":"b","limit":1})"},
        {encodeJson(RelayDirectoryPage{{}, false}), R"({"items":[],"more":false})"},
        {encodeJson(RelayCreateItemRequest{"docs", "new", true, 01755}),
         R"({"parentIdentifier":"docs","name":"new","isDirectory":true,"mode":1005})"},
        {encodeJson(RelayRemoveItemRequest{"a/b", true}),
         R"({"identifier":"a/b","isDirectory":true})"},
        {encodeJson(RelayRenameItemRequest{"a", "", "c", false}),
         R"({"identifier":"a","newParentIdentifier":"","newName":"c","replaceExisting":false})"},
        {encodeJson(RelaySetAttributesRequest{"f", {}, {}, {}}), R"({"identifier":"f"})"},
        {encodeJson(RelaySetAttributesRequest{"f", 0644, RelayTimespec{-1, 5}, {}}),
         R"({"identifier":"f","mode":420,"accessTime":{"tvSec":-1,"tvNsec":5}})"},
        {encodeJson(RelaySetAttributesRequest{"f", {}, {}, RelayTimespec{2, 0}}),
         R"({"identifier":"f","modifyTime":{"tvSec":2,"tvNsec":0}})"},
        {encodeJson(RelayVolumeStatistics{UINT64_MAX, 1, 0, 9, 8, 4096, 255}),
         R"({"totalBytes":18446744073709551615,"freeBytes":1,"availableBytes":0,)"
         R"("totalFiles":9,"freeFiles":8,"blockSize":4096,"maxNameLength":255})"},
        {encodeJson(RelayFailure{"notEmpty"}), R"({"reason":"notEmpty"})"},
    };
    for (const auto& [encoded, expected] : documents)
        EXPECT_EQ(textOf(encoded), expected);
}

TEST(FileSystemDocuments, RoundTripAndNeedEveryKeyTheyWrite) {
    expectRoundTripWithEveryKeyRequired(RelayListDirectoryRequest{"d", std::nullopt, 4294967295u},
                                        decodeRelayListDirectoryRequest);
    const RelayListDirectoryRequest next{"", "last", 1};
    EXPECT_EQ(decodeRelayListDirectoryRequest(encodeJson(next)), next);
    expectRoundTripWithEveryKeyRequired(RelayCreateItemRequest{"", "Grüße", false, 0},
                                        decodeRelayCreateItemRequest);
    expectRoundTripWithEveryKeyRequired(RelayRemoveItemRequest{"x", false},
                                        decodeRelayRemoveItemRequest);
    expectRoundTripWithEveryKeyRequired(RelayRenameItemRequest{"x", "y/z", "w", true},
                                        decodeRelayRenameItemRequest);
    expectRoundTripWithEveryKeyRequired(RelayVolumeStatistics{1, 2, 3, 4, 5, 6, 7},
                                        decodeRelayVolumeStatistics);
    expectRoundTripWithEveryKeyRequired(RelayFailure{"a reason from a later phone"},
                                        decodeRelayFailure);
    // Of a change of attributes only the identifier is required.
    const RelaySetAttributesRequest set{"d/f", 0600, RelayTimespec{1, 999'999'999}, {}};
    EXPECT_EQ(decodeRelaySetAttributesRequest(encodeJson(set)), set);
    EXPECT_FALSE(decodeRelaySetAttributesRequest(documentWith(set, "identifier", removed)));
    EXPECT_EQ(decodeRelaySetAttributesRequest(documentWith(set, "mode", nullptr)),
              (RelaySetAttributesRequest{"d/f", {}, set.accessTime, {}}));
    EXPECT_EQ(decodeRelaySetAttributesRequest(documentWith(set, "accessTime", removed)),
              (RelaySetAttributesRequest{"d/f", 0600, {}, {}}));
    EXPECT_EQ(decodeRelayListDirectoryRequest(
                  bytesOf(R"({"identifier":"d","after":null,"limit":1,"extra":[]})")),
              (RelayListDirectoryRequest{"d", std::nullopt, 1}));
}

TEST(FileSystemDocuments, RefuseBadNamesWhereverANameBelongs) {
    const RelayListDirectoryRequest list{"docs", "a", 10};
    const RelayCreateItemRequest create{"docs", "a", false, 0644};
    const RelayRenameItemRequest rename{"a", "", "b", true};
    for (const std::string& name : invalidNames) {
        EXPECT_FALSE(decodeRelayListDirectoryRequest(documentWith(list, "after", name)));
        EXPECT_FALSE(decodeRelayCreateItemRequest(documentWith(create, "name", name)));
        EXPECT_FALSE(decodeRelayRenameItemRequest(documentWith(rename, "newName", name)));
    }
    // Identifiers are the phone's to refuse: it answers notFound, not badRequest.
    EXPECT_TRUE(decodeRelayRenameItemRequest(documentWith(rename, "identifier", "../x")));
}

TEST(FileSystemDocuments, RefuseValuesOfTheWrongTypeOrRange) {
    const RelayListDirectoryRequest list{"docs", "a", 10};
    const RelayCreateItemRequest create{"docs", "a", false, 0644};
    const RelaySetAttributesRequest set{"f", 0600, RelayTimespec{1, 2}, RelayTimespec{3, 4}};
    EXPECT_FALSE(decodeRelayListDirectoryRequest(documentWith(list, "limit", 0)))
        << "a page of nothing would never end the listing";
    EXPECT_FALSE(decodeRelayListDirectoryRequest(documentWith(list, "limit", 4294967296u)));
    EXPECT_FALSE(decodeRelayListDirectoryRequest(documentWith(list, "after", 5)));
    EXPECT_FALSE(decodeRelayCreateItemRequest(documentWith(create, "isDirectory", 0)));
    EXPECT_FALSE(decodeRelayCreateItemRequest(documentWith(create, "mode", -420)));
    EXPECT_FALSE(decodeRelayRemoveItemRequest(bytesOf(R"({"identifier":"x","isDirectory":"no"})")));
    EXPECT_FALSE(decodeRelayVolumeStatistics(
        documentWith(RelayVolumeStatistics{}, "blockSize", 4294967296u)));
    EXPECT_FALSE(decodeRelayFailure(bytesOf(R"({"reason":7})")));
    const std::pair<std::string, nlohmann::json> badTimes[] = {
        {"mode", "0600"},
        {"accessTime", 1700000000},
        {"accessTime", {{"tvSec", 1}}},
        {"modifyTime", {{"tvSec", 1}, {"tvNsec", 1000000000}}},
        {"modifyTime", {{"tvSec", 1}, {"tvNsec", -1}}},
        // The kernel's markers for "now" and "leave alone" are no times.
        {"accessTime", {{"tvSec", 0}, {"tvNsec", (1 << 30) - 1}}},
        {"accessTime", {{"tvSec", 0}, {"tvNsec", (1 << 30) - 2}}},
    };
    for (const auto& [key, value] : badTimes)
        EXPECT_FALSE(decodeRelaySetAttributesRequest(documentWith(set, key, value)))
            << key << " = " << value;
    for (const std::string_view text : {"", "[]", "null", R"({"identifier":"d","limit":1)"})
        EXPECT_FALSE(decodeRelayListDirectoryRequest(bytesOf(text))) << text;
}

TEST(RelayDirectoryPage, ItemsAreTheSummariesOwnDocumentsAndEachMustDecode) {
    const RelayDirectoryPage page{{summaryNamed("a"), summaryNamed("dir")}, true};
    EXPECT_EQ(textOf(encodeJson(page)), R"({"items":[)" + textOf(encodeJson(page.items[0])) + "," +
                                            textOf(encodeJson(page.items[1])) +
                                            R"(],"more":true})");
    expectRoundTripWithEveryKeyRequired(page, decodeRelayDirectoryPage);

    const auto items = nlohmann::json::parse(textOf(encodeJson(page)))["items"];
    auto incomplete = items;
    incomplete[1].erase("metadataVersion");
    auto mistyped = items;
    mistyped[0]["modifyTime"]["tvSec"] = "soon";
    for (const nlohmann::json& bad :
         {items[0], incomplete, mistyped, nlohmann::json::array({items[0], 7}),
          nlohmann::json::array({items[0], nullptr})})
        EXPECT_FALSE(decodeRelayDirectoryPage(documentWith(page, "items", bad))) << bad;
    EXPECT_FALSE(decodeRelayDirectoryPage(documentWith(page, "more", "false")));
}

} // namespace
} // namespace brimo
