#pragma once

#include "shared/Bytes.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

// Standard Base64 (RFC 4648 alphabet, with padding), the form of `Data` fields in JSON.
namespace brimo {

std::string base64Encode(std::span<const uint8_t> bytes);

// Strict: the length must be a multiple of four, padding may only close the text, and the bits
// that padding leaves over must be zero, so that every byte string has exactly one accepted text.
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace brimo
