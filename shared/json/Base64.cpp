#include "shared/json/Base64.h"

#include <array>

namespace brimo {
namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t invalid = 0xFF;

constexpr std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> table{};
    table.fill(invalid);
    for (size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
    return table;
}

constexpr auto decodeTable = makeDecodeTable();

} // namespace

std::string base64Encode(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        text += alphabet[group >> 18 & 0x3F];
        text += alphabet[group >> 12 & 0x3F];
        text += alphabet[group >> 6 & 0x3F];
        text += alphabet[group & 0x3F];
    }
    const size_t rest = bytes.size() - i;
    if (rest == 0) return text;
    const uint32_t group = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
    text += alphabet[group >> 18 & 0x3F];
    text += alphabet[group >> 12 & 0x3F];
    text += rest == 2 ? alphabet[group >> 6 & 0x3F] : '=';
    text += '=';
    return text;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

    Bytes bytes;
    bytes.reserve(text.size() / 4 * 3);
    const size_t sextetCount = text.size() - padding;
    uint32_t group = 0;
    for (size_t i = 0; i < sextetCount; ++i) {
        const uint8_t value = decodeTable[static_cast<uint8_t>(text[i])];
        if (value == invalid) return std::nullopt;
        group = group << 6 | value;
        if (i % 4 == 3) {
            bytes.push_back(static_cast<uint8_t>(group >> 16));
            bytes.push_back(static_cast<uint8_t>(group >> 8));
            bytes.push_back(static_cast<uint8_t>(group));
        }
    }
    if (padding == 2) {
        if (group & 0x0F) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(group >> 4));
    } else if (padding == 1) {
        if (group & 0x03) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(group >> 10));
        bytes.push_back(static_cast<uint8_t>(group >> 2));
    }
    return bytes;
}

} // namespace brimo
