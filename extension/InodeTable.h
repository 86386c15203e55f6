#pragma once

#include "shared/messages/RelayLookupMessages.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace brimo::fs {

// The kernel's node ids and what they stand for on the phone. A node id is also the inode
// number programs see, and it belongs to the item, not to the kernel's interest in it: the phone
// gives an item a new inode of its own at every save, yet SQLite and others compare the numbers
// of an open file and of its path. So an item keeps its number across saves, renames through the
// drive and the kernel forgetting it, until it is removed through the drive or the phone says it
// is gone; numbers are never given to another item.
//
// A node lives while the kernel holds lookups on it: every entry replied to the kernel adds one,
// forget takes them away. The root (node 1) is pinned. Identifiers are paths, so renaming an item
// renames every node beneath it too.
class InodeTable {
public:
    static constexpr uint64_t kRootId = 1;

    InodeTable();

    // The node of `identifier`, made if the kernel holds none, with one more lookup; remembers
    // `summary` as its latest attributes.
    uint64_t remember(const RelayItemSummary& summary);
    // Takes `count` lookups away; false when the node is unknown or would go negative (the
    // kernel and we disagree, which must never pass silently).
    bool forget(uint64_t node, uint64_t count);

    // None for a node whose item is gone (or was replaced) on the phone.
    std::optional<std::string> identifier(uint64_t node) const;
    // The live node of `identifier`.
    std::optional<uint64_t> find(const std::string& identifier) const;
    const RelayItemSummary* summary(uint64_t node) const;
    void updateSummary(uint64_t node, const RelayItemSummary& summary);

    // `from` and everything under it now live under `to`. A node already at `to` (the item that
    // was replaced) loses its identifier: it stays alive for the kernel but is no longer found.
    void rename(const std::string& from, const std::string& to);
    // The item is gone from the phone; its node stays until forgotten but is no longer found.
    void detach(const std::string& identifier);
    // The phone knows no such item: its number is given up unless the kernel still holds it.
    void vanished(const std::string& identifier);

    size_t size() const { return nodes_.size(); }
    size_t numbersKept() const { return numbers_.size(); }

private:
    struct Node {
        std::string identifier;
        bool attached = true; // still reachable by its identifier
        uint64_t lookups = 0;
        RelayItemSummary summary;
    };

    // Every item's number, held by the kernel or not; ordered, so that what lies beneath an
    // item is one range of keys.
    using Numbers = std::map<std::string, uint64_t>;
    // `identifier`'s entry and those of everything beneath it.
    std::vector<Numbers::iterator> within(const std::string& identifier);

    uint64_t nextId_ = kRootId + 1;
    std::unordered_map<uint64_t, Node> nodes_;
    Numbers numbers_;
};

} // namespace brimo::fs
