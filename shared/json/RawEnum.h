#pragma once

// Conversion of an integer code to its enum.

#include <cstdint>
#include <optional>

namespace brimo {

// The enum for `raw` when it lies in [0, last], the codes that enum defines.
template <typename Enum> std::optional<Enum> enumFromRaw(int64_t raw, Enum last) {
    if (raw < 0 || raw > static_cast<int64_t>(last)) return std::nullopt;
    return static_cast<Enum>(raw);
}

} // namespace brimo
