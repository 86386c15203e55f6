#include "shared/json/Base64.h"

#include "tests/messages/TestBytes.h"

#include <gtest/gtest.h>

namespace brimo {
namespace {

using test::bytesOf;
using test::textOf;

TEST(Base64, Rfc4648VectorsEncodeAndDecode) {
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
        const auto decoded = base64Decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(textOf(*decoded), plain);
    }
}

TEST(Base64, UsesTheStandardAlphabetAndRoundTripsEveryByteValue) {
    EXPECT_EQ(base64Encode(Bytes{0xFB, 0xFF, 0xBF}), "+/+/");
    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    for (size_t length = 0; length <= all.size(); length += 85) {
        const Bytes prefix(all.begin(), all.begin() + static_cast<long>(length));
        EXPECT_EQ(base64Decode(base64Encode(prefix)), prefix) << length;
    }
}

TEST(Base64, RejectsTextThatIsNotCanonicalPaddedStandardBase64) {
    const std::string_view invalid[] = {
        "Zg",       // padding missing
        "Zg=",      // length not a multiple of four
        "Z===",     // three padding characters
        "====",     // nothing but padding
        "Zg==Zm8=", // padding inside the text
        "Zm9v!A==", // character outside the alphabet
        "-_8=",     // URL-safe alphabet
        "Zm9v\n",   // whitespace
        "Zh==",     // leftover bits of the last sextet are not zero
        "Zm9=",     // likewise with one padding character
        "Zm 9",     // space inside
    };
    for (const auto text : invalid)
        EXPECT_FALSE(base64Decode(text)) << '"' << text << '"';
}

} // namespace
} // namespace brimo
