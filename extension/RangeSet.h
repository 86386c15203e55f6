#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace brimo::fs {

// A half-open byte range [begin, end).
struct ByteRange {
    uint64_t begin = 0;
    uint64_t end = 0;

    uint64_t size() const { return end - begin; }
    bool empty() const { return end <= begin; }
    bool operator==(const ByteRange&) const = default;
};

// Byte ranges of a file, merged: which pieces are here, which are on their way.
class RangeSet {
public:
    void add(ByteRange range);
    void remove(ByteRange range);
    void clear() { ranges_.clear(); }

    bool covers(ByteRange range) const;
    // The pieces of `range` not in the set, in order.
    std::vector<ByteRange> missing(ByteRange range) const;
    // The pieces of `range` in the set, in order.
    std::vector<ByteRange> within(ByteRange range) const;
    bool empty() const { return ranges_.empty(); }

private:
    std::map<uint64_t, uint64_t> ranges_; // begin → end, disjoint and not touching
};

} // namespace brimo::fs
