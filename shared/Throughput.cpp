#include "shared/Throughput.h"

#include <cstdio>

namespace brimo {

std::string mibPerSecondText(uint64_t bytes, double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f MiB/s",
                  seconds > 0 ? static_cast<double>(bytes) / (seconds * 1048576) : 0.0);
    return text;
}

} // namespace brimo
