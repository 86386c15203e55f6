#include "extension/InodeTable.h"

#include <gtest/gtest.h>

namespace brimo::fs {
namespace {

RelayItemSummary item(const std::string& identifier, uint64_t size = 0) {
    RelayItemSummary summary;
    summary.identifier = identifier;
    summary.filename = identifier.substr(identifier.rfind('/') + 1);
    summary.size = size;
    return summary;
}

TEST(InodeTableTest, ANodeLivesExactlyAsLongAsTheKernelHoldsLookupsOnIt) {
    InodeTable table;
    const uint64_t node = table.remember(item("DCIM/a.jpg"));
    EXPECT_NE(node, InodeTable::kRootId);
    EXPECT_EQ(table.remember(item("DCIM/a.jpg", 7)), node) << "one node per identifier";
    EXPECT_EQ(table.summary(node)->size, 7u) << "the latest attributes win";

    EXPECT_TRUE(table.forget(node, 1));
    EXPECT_EQ(table.identifier(node), "DCIM/a.jpg");
    EXPECT_FALSE(table.forget(node, 2)) << "more forgotten than looked up";
    EXPECT_TRUE(table.forget(node, 1));
    EXPECT_FALSE(table.identifier(node));
    EXPECT_FALSE(table.find("DCIM/a.jpg"));
    EXPECT_EQ(table.remember(item("DCIM/a.jpg")), node) << "the item keeps its number";

    EXPECT_TRUE(table.forget(InodeTable::kRootId, 5)) << "the root is pinned";
    EXPECT_EQ(table.identifier(InodeTable::kRootId), "");
}

TEST(InodeTableTest, RenamingAFolderMovesEverythingBeneathIt) {
    InodeTable table;
    const uint64_t folder = table.remember(item("a"));
    const uint64_t inside = table.remember(item("a/b/c"));
    const uint64_t sibling = table.remember(item("ab"));
    const uint64_t replaced = table.remember(item("z"));

    table.rename("a", "z");
    EXPECT_EQ(table.identifier(folder), "z");
    EXPECT_EQ(table.summary(folder)->filename, "z");
    EXPECT_EQ(table.identifier(inside), "z/b/c");
    EXPECT_EQ(table.find("z/b/c"), inside);
    EXPECT_EQ(table.identifier(sibling), "ab") << "a prefix of the name is not a parent";
    EXPECT_FALSE(table.identifier(replaced)) << "the item renamed over is gone";
    EXPECT_TRUE(table.summary(replaced)) << "yet its node lives until forgotten";
    EXPECT_FALSE(table.find("a/b/c"));
    EXPECT_TRUE(table.forget(replaced, 1));
    EXPECT_EQ(table.find("z"), folder) << "forgetting the old node leaves the new name alone";
}

TEST(InodeTableTest, ARemovedItemIsNoLongerFoundButItsOpenNodeStays) {
    InodeTable table;
    const uint64_t folder = table.remember(item("f"));
    const uint64_t file = table.remember(item("f/x", 3));
    table.detach("f");
    EXPECT_FALSE(table.identifier(folder));
    EXPECT_FALSE(table.identifier(file));
    EXPECT_EQ(table.summary(file)->size, 3u);
    const uint64_t again = table.remember(item("f/x"));
    EXPECT_NE(again, file) << "a new item of the same name is a new node";
    EXPECT_TRUE(table.forget(file, 1));
    EXPECT_EQ(table.find("f/x"), again);
}

TEST(InodeTableTest, AnItemsNumberFollowsItUntilItIsGone) {
    InodeTable table;
    const uint64_t file = table.remember(item("a/file"));
    const uint64_t folder = table.remember(item("a"));
    ASSERT_TRUE(table.forget(file, 1));
    ASSERT_TRUE(table.forget(folder, 1));
    EXPECT_EQ(table.size(), 1u) << "only the root is held";

    table.rename("a", "b"); // the kernel holds neither, yet both numbers move
    EXPECT_EQ(table.remember(item("b")), folder);
    EXPECT_EQ(table.remember(item("b/file")), file);
    EXPECT_NE(table.remember(item("a")), folder) << "a new item where the folder was";

    // The phone says it is gone: while the kernel holds the node, the number stays with it.
    table.vanished("b/file");
    EXPECT_EQ(table.remember(item("b/file")), file);
    ASSERT_TRUE(table.forget(file, 2));
    table.vanished("b");
    const uint64_t again = table.remember(item("b/file"));
    EXPECT_NE(again, file) << "numbers are never given to another item";
    EXPECT_EQ(table.remember(item("b")), folder) << "still held by the kernel";

    table.detach("b");
    EXPECT_NE(table.remember(item("b")), folder);
    EXPECT_NE(table.remember(item("b/file")), again);
}

} // namespace
} // namespace brimo::fs
