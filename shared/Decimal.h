#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brimo {

// A signed decimal: an optional "+" or "-", then ASCII digits only, within a signed 64-bit value;
// none for anything else ("1.2", "12a", "+-1", "", overflow).
std::optional<int64_t> parseSignedDecimal(std::string_view text);

} // namespace brimo
