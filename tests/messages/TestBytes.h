#pragma once

#include "shared/Bytes.h"

#include <span>
#include <string>
#include <string_view>

namespace brimo::test {

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string textOf(std::span<const uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace brimo::test
