#pragma once

#include <string>

namespace brimo::fs {

// Whether `identifier` is `ancestor` or lies beneath it; everything lies beneath the root "".
inline bool isWithin(const std::string& identifier, const std::string& ancestor) {
    return ancestor.empty() || identifier == ancestor ||
           (identifier.size() > ancestor.size() && identifier.starts_with(ancestor) &&
            identifier[ancestor.size()] == '/');
}

// The folder holding `identifier`; the root "" holds the top items.
inline std::string parentIdentifier(const std::string& identifier) {
    const size_t slash = identifier.rfind('/');
    return slash == std::string::npos ? "" : identifier.substr(0, slash);
}

// The last component: the item's name in its folder.
inline std::string nameOf(const std::string& identifier) {
    return identifier.substr(identifier.rfind('/') + 1);
}

} // namespace brimo::fs
