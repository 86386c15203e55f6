#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brimo {

// A 128-bit UUID; its text form is the canonical upper-case hyphenated string.
struct Uuid {
    std::array<uint8_t, 16> bytes{};

    static Uuid random();
    // Accepts the 36-character hyphenated form in either case.
    static std::optional<Uuid> parse(std::string_view text);
    std::string toString() const;

    bool operator==(const Uuid&) const = default;
};

} // namespace brimo
