#pragma once

#include <cstdint>
#include <vector>

namespace brimo {

using Bytes = std::vector<uint8_t>;

} // namespace brimo
