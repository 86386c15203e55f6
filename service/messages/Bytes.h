#pragma once

#include <cstdint>
#include <vector>

namespace brimo {

// The byte type of every message payload and of every `Data` field.
using Bytes = std::vector<uint8_t>;

} // namespace brimo
