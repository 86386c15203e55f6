#include "extension/InodeTable.h"

namespace brimo::fs {

InodeTable::InodeTable() {
    Node root;
    root.summary.isDirectory = true;
    root.summary.mode = 040755;
    root.lookups = 1; // pinned: the kernel never forgets the root
    nodes_.emplace(kRootId, std::move(root));
    numbers_.emplace("", kRootId);
}

uint64_t InodeTable::remember(const RelayItemSummary& summary) {
    auto [number, isNew] = numbers_.try_emplace(summary.identifier, nextId_);
    if (isNew) ++nextId_;
    const uint64_t id = number->second;
    auto [node, made] = nodes_.try_emplace(id, Node{summary.identifier, true, 0, {}});
    node->second.summary = summary;
    if (id != kRootId) ++node->second.lookups;
    return id;
}

bool InodeTable::forget(uint64_t id, uint64_t count) {
    if (id == kRootId) return true;
    auto node = nodes_.find(id);
    if (node == nodes_.end() || node->second.lookups < count) return false;
    node->second.lookups -= count;
    if (node->second.lookups == 0) nodes_.erase(node); // its number stays with the item
    return true;
}

std::optional<std::string> InodeTable::identifier(uint64_t id) const {
    auto node = nodes_.find(id);
    if (node == nodes_.end() || !node->second.attached) return std::nullopt;
    return node->second.identifier;
}

std::optional<uint64_t> InodeTable::find(const std::string& identifier) const {
    auto number = numbers_.find(identifier);
    if (number == numbers_.end() || !nodes_.contains(number->second)) return std::nullopt;
    return number->second;
}

const RelayItemSummary* InodeTable::summary(uint64_t id) const {
    auto node = nodes_.find(id);
    return node == nodes_.end() ? nullptr : &node->second.summary;
}

void InodeTable::updateSummary(uint64_t id, const RelayItemSummary& summary) {
    auto node = nodes_.find(id);
    if (node != nodes_.end()) node->second.summary = summary;
}

std::vector<InodeTable::Numbers::iterator> InodeTable::within(const std::string& identifier) {
    std::vector<Numbers::iterator> found;
    if (auto self = numbers_.find(identifier); self != numbers_.end()) found.push_back(self);
    // The keys that start with "identifier/": '0' is the byte after '/'.
    const auto end = numbers_.lower_bound(identifier + '0');
    for (auto entry = numbers_.lower_bound(identifier + '/'); entry != end; ++entry)
        found.push_back(entry);
    return found;
}

void InodeTable::rename(const std::string& from, const std::string& to) {
    if (from.empty() || from == to) return;
    detach(to);
    std::vector<std::pair<std::string, uint64_t>> moved;
    for (auto entry : within(from)) {
        moved.emplace_back(to + entry->first.substr(from.size()), entry->second);
        numbers_.erase(entry);
    }
    for (auto& [renamed, id] : moved) {
        if (auto node = nodes_.find(id); node != nodes_.end()) {
            node->second.identifier = renamed;
            node->second.summary.identifier = renamed;
            if (renamed.size() == to.size())
                node->second.summary.filename = renamed.substr(renamed.rfind('/') + 1);
        }
        numbers_[std::move(renamed)] = id;
    }
}

void InodeTable::detach(const std::string& identifier) {
    if (identifier.empty()) return;
    for (auto entry : within(identifier)) {
        if (auto node = nodes_.find(entry->second); node != nodes_.end())
            node->second.attached = false;
        numbers_.erase(entry);
    }
}

void InodeTable::vanished(const std::string& identifier) {
    if (identifier.empty()) return;
    for (auto entry : within(identifier))
        if (!nodes_.contains(entry->second)) numbers_.erase(entry);
}

} // namespace brimo::fs
