#pragma once

#include "fuzz/FuzzCheck.h"
#include "shared/Bytes.h"

#include <cstdint>
#include <span>

namespace brimo::fuzz {

// Decodes the input; what decodes must encode to a document that decodes to the same value, and
// that document is the encoder's fixed point.
template <typename Decode> void checkJsonRoundTrip(std::span<const uint8_t> input, Decode decode) {
    const auto record = decode(input);
    if (!record) return;
    const Bytes encoded = encodeJson(*record);
    const auto again = decode(encoded);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == *record);
    FUZZ_CHECK(encodeJson(*again) == encoded);
}

} // namespace brimo::fuzz
