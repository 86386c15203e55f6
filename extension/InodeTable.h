#pragma once

#include "shared/messages/RelayLookupMessages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace brimo::fs {

// The kernel's node ids and what they stand for on the phone. A node lives while the kernel
// holds lookups on it: every entry replied to the kernel adds one, forget takes them away, and
// a node whose count reaches zero is dropped. The root (node 1) is pinned. Identifiers are
// paths, so renaming an item renames every node beneath it too.
class InodeTable {
public:
    static constexpr uint64_t kRootId = 1;

    InodeTable();

    // The node of `identifier`, made if new, with one more lookup; remembers `summary` as its
    // latest attributes.
    uint64_t remember(const RelayItemSummary& summary);
    // Takes `count` lookups away; false when the node is unknown or would go negative (the
    // kernel and we disagree, which must never pass silently).
    bool forget(uint64_t node, uint64_t count);

    // None for a node whose item is gone (or was replaced) on the phone.
    std::optional<std::string> identifier(uint64_t node) const;
    std::optional<uint64_t> find(const std::string& identifier) const;
    const RelayItemSummary* summary(uint64_t node) const;
    void updateSummary(uint64_t node, const RelayItemSummary& summary);

    // `from` and everything under it now live under `to`. A node already at `to` (the item that
    // was replaced) loses its identifier: it stays alive for the kernel but is no longer found.
    void rename(const std::string& from, const std::string& to);
    // The item is gone from the phone; its node stays until forgotten but is no longer found.
    void detach(const std::string& identifier);

    size_t size() const { return nodes_.size(); }

private:
    struct Node {
        std::string identifier;
        bool attached = true; // still reachable by its identifier
        uint64_t lookups = 0;
        RelayItemSummary summary;
    };

    uint64_t nextId_ = kRootId + 1;
    std::unordered_map<uint64_t, Node> nodes_;
    std::unordered_map<std::string, uint64_t> byIdentifier_;
};

} // namespace brimo::fs
