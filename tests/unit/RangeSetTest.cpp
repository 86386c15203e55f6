#include "extension/RangeSet.h"

#include <gtest/gtest.h>

namespace brimo::fs {
namespace {

using Ranges = std::vector<ByteRange>;

// Adds then removes, and what is left must be exactly the expected ranges, whichever way the
// pieces overlapped, touched or split one another.
TEST(RangeSetTest, AddingAndRemovingLeavesExactlyWhatIsCovered) {
    struct Case {
        const char* what;
        Ranges added;
        Ranges removed;
        Ranges left;
    } cases[] = {
        {"touching ranges merge", {{0, 5}, {5, 10}}, {}, {{0, 10}}},
        {"overlaps merge, out of order", {{8, 12}, {0, 4}, {3, 9}}, {}, {{0, 12}}},
        {"gaps stay", {{0, 2}, {4, 6}}, {}, {{0, 2}, {4, 6}}},
        {"one range swallows many", {{1, 2}, {3, 4}, {5, 6}, {0, 10}}, {}, {{0, 10}}},
        {"a removal splits", {{0, 10}}, {{3, 5}}, {{0, 3}, {5, 10}}},
        {"a removal spans several", {{0, 2}, {4, 6}, {8, 10}}, {{1, 9}}, {{0, 1}, {9, 10}}},
        {"empty ranges change nothing", {{3, 3}, {0, 4}}, {{2, 2}}, {{0, 4}}},
    };
    for (const auto& c : cases) {
        RangeSet set;
        for (auto range : c.added)
            set.add(range);
        for (auto range : c.removed)
            set.remove(range);
        EXPECT_EQ(set.within({0, 100}), c.left) << c.what;
        EXPECT_EQ(set.missing({0, 100}).size(), c.left.size() + (c.left.front().begin > 0))
            << c.what;
    }
}

TEST(RangeSetTest, CoversMissingAndWithinAgreeAtTheEdges) {
    RangeSet set;
    set.add({10, 20});
    set.add({30, 40});
    EXPECT_TRUE(set.covers({10, 20}));
    EXPECT_TRUE(set.covers({15, 15})) << "nothing asked, nothing missing";
    EXPECT_FALSE(set.covers({9, 20}));
    EXPECT_FALSE(set.covers({15, 35})) << "a gap inside";
    EXPECT_EQ(set.missing({5, 35}), (Ranges{{5, 10}, {20, 30}}));
    EXPECT_EQ(set.within({15, 35}), (Ranges{{15, 20}, {30, 35}}));
    EXPECT_TRUE(set.missing({12, 18}).empty());
    EXPECT_EQ(set.missing({40, 50}), (Ranges{{40, 50}}));
}

} // namespace
} // namespace brimo::fs
