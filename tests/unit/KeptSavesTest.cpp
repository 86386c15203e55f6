#include "shared/messages/KeptSaves.h"
#include "extension/SaveKeeper.h"
#include "shared/messages/FileSystemMessages.h"
#include "tests/support/ScopedEnvironment.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace brimo {
namespace {

namespace stdfs = std::filesystem;

class KeptSavesTest : public testing::Test {
protected:
    KeptSavesTest()
        : folder(makeFolder())
        , records(folder) {}
    ~KeptSavesTest() override { stdfs::remove_all(folder); }
    static stdfs::path makeFolder() {
        char dir[] = "/tmp/brimo-kept-XXXXXX";
        return ::mkdtemp(dir);
    }
    void writeBytes(const stdfs::path& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static KeptSave save(std::string id, int64_t keptAt) {
        KeptSave kept;
        kept.id = std::move(id);
        kept.identifier = "DCIM/IMG_0001.JPG";
        kept.baseVersion = {1, 2, 3};
        kept.keptAt = keptAt;
        return kept;
    }

    stdfs::path folder;
    KeptSaves records;
};

TEST_F(KeptSavesTest, RecordsRoundTripAndListOldestFirstWithTheirBytes) {
    KeptSave full = save("B", 20);
    full.saveAsked = true;
    full.reason = "No space left on device";
    full.size = 5;
    full.modifyTime = RelayTimespec{981173106, 5};
    full.conflictCopy = "DCIM/IMG_0001 (conflict copy).JPG";
    EXPECT_EQ(decodeKeptSave(encodeJson(full)), full);
    const KeptSave bare = save("A", 10);
    EXPECT_EQ(decodeKeptSave(encodeJson(bare)), bare);

    writeBytes(folder / "work-b", "bytes");
    writeBytes(folder / "work-a", "");
    ASSERT_TRUE(records.adopt(full, folder / "work-b"));
    ASSERT_TRUE(records.adopt(bare, folder / "work-a"));
    ASSERT_TRUE(records.write(save("C", 5), false)); // no bytes: not listed
    writeBytes(folder / "D.json", "{not json");
    writeBytes(folder / "D.data", "x");
    KeptSave misnamed = save("../E", 1); // an id must be a plain name
    const Bytes misnamedRecord = encodeJson(misnamed);
    writeBytes(folder / "E.json", std::string(misnamedRecord.begin(), misnamedRecord.end()));
    writeBytes(folder / "E.data", "x");

    const auto listed = records.list();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], bare);
    EXPECT_EQ(listed[1], full);
    writeBytes(folder / "work-b", "later"); // the same file: writes go on landing there
    std::ifstream data(records.dataPath("B"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(data), {}), "later");

    records.remove("B");
    EXPECT_FALSE(stdfs::exists(records.dataPath("B")));
    EXPECT_EQ(records.list(), std::vector<KeptSave>{bare});
}

TEST(ConflictNameTest, SaysWhatItIsAndKeepsTheExtension) {
    struct Utc {
        test::ScopedEnvironment zone{"TZ", "UTC"};
        Utc() { ::tzset(); }
        ~Utc() { ::tzset(); } // runs before the variable is restored; the next tzset reads it
    } utc;
    const int64_t at = 1796862266; // 2026-12-10 00:24:26 UTC
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"list.txt", 1, "list (conflict copy 2026-12-10 002426).txt"},
        {"list.txt", 3, "list (conflict copy 2026-12-10 002426 3).txt"},
        {"archive.tar.gz", 1, "archive.tar (conflict copy 2026-12-10 002426).gz"},
        {".bashrc", 1, ".bashrc (conflict copy 2026-12-10 002426)"},
        {"README", 1, "README (conflict copy 2026-12-10 002426)"},
        {"ends.", 1, "ends. (conflict copy 2026-12-10 002426)"},
    };
    for (const auto& [name, attempt, expected] : cases)
        EXPECT_EQ(fs::SaveKeeper::conflictName(name, at, attempt), expected) << name;

    // A long name is cut, never inside a letter, so that the copy's name stays valid.
    std::string longest;
    while (longest.size() < 250)
        longest += "\xC3\xA9"; // é
    const std::string cut = fs::SaveKeeper::conflictName(longest + ".jpeg", at, 12);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_TRUE(cut.ends_with(" 12).jpeg")) << cut;
    EXPECT_TRUE(isValidItemName(cut)) << cut;
}

} // namespace
} // namespace brimo
