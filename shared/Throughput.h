#pragma once

#include <cstdint>
#include <string>

namespace brimo {

// "%.2f MiB/s" of `bytes` moved in `seconds`; 0.00 when no time passed.
std::string mibPerSecondText(uint64_t bytes, double seconds);

} // namespace brimo
