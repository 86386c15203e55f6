#include "extension/InodeTable.h"

#include "extension/Identifiers.h"

#include <vector>

namespace brimo::fs {

InodeTable::InodeTable() {
    Node root;
    root.summary.isDirectory = true;
    root.summary.mode = 040755;
    root.lookups = 1; // pinned: the kernel never forgets the root
    nodes_.emplace(kRootId, std::move(root));
    byIdentifier_.emplace("", kRootId);
}

uint64_t InodeTable::remember(const RelayItemSummary& summary) {
    auto known = byIdentifier_.find(summary.identifier);
    uint64_t id;
    if (known != byIdentifier_.end()) {
        id = known->second;
    } else {
        id = nextId_++;
        nodes_.emplace(id, Node{summary.identifier, true, 0, {}});
        byIdentifier_.emplace(summary.identifier, id);
    }
    Node& node = nodes_.at(id);
    node.summary = summary;
    if (id != kRootId) ++node.lookups;
    return id;
}

bool InodeTable::forget(uint64_t id, uint64_t count) {
    if (id == kRootId) return true;
    auto node = nodes_.find(id);
    if (node == nodes_.end() || node->second.lookups < count) return false;
    node->second.lookups -= count;
    if (node->second.lookups > 0) return true;
    if (node->second.attached) byIdentifier_.erase(node->second.identifier);
    nodes_.erase(node);
    return true;
}

std::optional<std::string> InodeTable::identifier(uint64_t id) const {
    auto node = nodes_.find(id);
    if (node == nodes_.end() || !node->second.attached) return std::nullopt;
    return node->second.identifier;
}

std::optional<uint64_t> InodeTable::find(const std::string& identifier) const {
    auto known = byIdentifier_.find(identifier);
    if (known == byIdentifier_.end()) return std::nullopt;
    return known->second;
}

const RelayItemSummary* InodeTable::summary(uint64_t id) const {
    auto node = nodes_.find(id);
    return node == nodes_.end() ? nullptr : &node->second.summary;
}

void InodeTable::updateSummary(uint64_t id, const RelayItemSummary& summary) {
    auto node = nodes_.find(id);
    if (node != nodes_.end()) node->second.summary = summary;
}

void InodeTable::rename(const std::string& from, const std::string& to) {
    if (from.empty() || from == to) return;
    detach(to);
    std::vector<std::pair<std::string, uint64_t>> moved;
    for (const auto& [identifier, id] : byIdentifier_)
        if (isWithin(identifier, from)) moved.emplace_back(identifier, id);
    for (const auto& [identifier, id] : moved) {
        byIdentifier_.erase(identifier);
        std::string renamed = to + identifier.substr(from.size());
        Node& node = nodes_.at(id);
        node.identifier = renamed;
        node.summary.identifier = renamed;
        if (identifier == from) node.summary.filename = renamed.substr(renamed.rfind('/') + 1);
        byIdentifier_[renamed] = id;
    }
}

void InodeTable::detach(const std::string& identifier) {
    if (identifier.empty()) return;
    std::vector<std::string> gone;
    for (const auto& [known, id] : byIdentifier_)
        if (isWithin(known, identifier)) gone.push_back(known);
    for (const auto& known : gone) {
        nodes_.at(byIdentifier_.at(known)).attached = false;
        byIdentifier_.erase(known);
    }
}

} // namespace brimo::fs
