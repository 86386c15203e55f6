#include "extension/RangeSet.h"

#include <algorithm>
#include <iterator>

namespace brimo::fs {

void RangeSet::add(ByteRange range) {
    if (range.empty()) return;
    // Swallow every range that overlaps or touches the new one.
    auto first = ranges_.upper_bound(range.begin);
    if (first != ranges_.begin() && std::prev(first)->second >= range.begin) --first;
    auto last = first;
    while (last != ranges_.end() && last->first <= range.end) {
        range.begin = std::min(range.begin, last->first);
        range.end = std::max(range.end, last->second);
        ++last;
    }
    ranges_.erase(first, last);
    ranges_.emplace(range.begin, range.end);
}

void RangeSet::remove(ByteRange range) {
    if (range.empty()) return;
    auto at = ranges_.upper_bound(range.begin);
    if (at != ranges_.begin() && std::prev(at)->second > range.begin) --at;
    std::vector<ByteRange> kept;
    while (at != ranges_.end() && at->first < range.end) {
        if (at->first < range.begin) kept.push_back({at->first, range.begin});
        if (at->second > range.end) kept.push_back({range.end, at->second});
        at = ranges_.erase(at);
    }
    for (const auto& piece : kept)
        ranges_.emplace(piece.begin, piece.end);
}

bool RangeSet::covers(ByteRange range) const {
    if (range.empty()) return true;
    auto at = ranges_.upper_bound(range.begin);
    if (at == ranges_.begin()) return false;
    --at;
    return at->first <= range.begin && at->second >= range.end;
}

std::vector<ByteRange> RangeSet::within(ByteRange range) const {
    std::vector<ByteRange> pieces;
    if (range.empty()) return pieces;
    auto at = ranges_.upper_bound(range.begin);
    if (at != ranges_.begin() && std::prev(at)->second > range.begin) --at;
    for (; at != ranges_.end() && at->first < range.end; ++at)
        pieces.push_back({std::max(at->first, range.begin), std::min(at->second, range.end)});
    return pieces;
}

std::vector<ByteRange> RangeSet::missing(ByteRange range) const {
    std::vector<ByteRange> gaps;
    uint64_t from = range.begin;
    for (const auto& piece : within(range)) {
        if (piece.begin > from) gaps.push_back({from, piece.begin});
        from = piece.end;
    }
    if (from < range.end) gaps.push_back({from, range.end});
    return gaps;
}

} // namespace brimo::fs
