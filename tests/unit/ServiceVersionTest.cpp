#include "service/ServiceVersion.h"

#include <fstream>
#include <gtest/gtest.h>

namespace brimo {
namespace {

TEST(ServiceVersion, ParsesOnlyWholeSignedDecimalNumbers) {
    const std::vector<std::pair<std::string, int64_t>> table = {
        {"42", 42},
        {"+7", 7},
        {"-3", -3},
        {"1.0", 0},
        {"12a", 0},
        {"", 0},
        {"+", 0},
        {"-", 0},
        {" 1", 0},
        {"+-1", 0},
        {"--1", 0},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", 0},
        {"-9223372036854775808", INT64_MIN},
        {"007", 7},
    };
    for (const auto& [text, expected] : table)
        EXPECT_EQ(parseBundleVersion(text), expected) << '"' << text << '"';
}

TEST(ServiceVersion, ReadsCFBundleVersionFromTheInformationDictionary) {
    const auto dir = std::filesystem::temp_directory_path() / "brimo-version-test";
    std::filesystem::create_directories(dir);
    auto write = [&](const std::string& name, const std::string& entries) {
        std::ofstream(dir / name) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                     "<plist version=\"1.0\"><dict>"
                                  << entries << "</dict></plist>\n";
        return dir / name;
    };
    EXPECT_EQ(serviceVersion(write("ok.plist", "<key>CFBundleVersion</key><string>42</string>")),
              42);
    EXPECT_EQ(
        serviceVersion(write("dotted.plist", "<key>CFBundleVersion</key><string>1.2</string>")), 0);
    EXPECT_EQ(
        serviceVersion(write("number.plist", "<key>CFBundleVersion</key><integer>5</integer>")), 0);
    EXPECT_EQ(serviceVersion(write("missing.plist", "<key>Other</key><string>5</string>")), 0);
    EXPECT_EQ(serviceVersion(dir / "absent.plist"), 0);
    EXPECT_EQ(infoDictionaryString(dir / "ok.plist", "CFBundleVersion"), "42");
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace brimo
