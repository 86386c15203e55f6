#pragma once

#include <string>

namespace brimo::fs {

// Whether `identifier` is `ancestor` or lies beneath it; everything lies beneath the root "".
inline bool isWithin(const std::string& identifier, const std::string& ancestor) {
    return ancestor.empty() || identifier == ancestor ||
           (identifier.size() > ancestor.size() && identifier.starts_with(ancestor) &&
            identifier[ancestor.size()] == '/');
}

} // namespace brimo::fs
