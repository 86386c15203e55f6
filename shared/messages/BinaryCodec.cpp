#include "shared/messages/BinaryCodec.h"

#include <limits>

namespace brimo {

void BinaryWriter::putLittleEndian(uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i)
        bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void BinaryWriter::putUInt64(uint64_t value) {
    putLittleEndian(value, 8);
}

void BinaryWriter::putUInt32(uint32_t value) {
    putLittleEndian(value, 4);
}

void BinaryWriter::putBool(bool value) {
    bytes_.push_back(value ? 1 : 0);
}

bool BinaryWriter::putString(std::string_view text) {
    if (text.size() > std::numeric_limits<uint16_t>::max()) return false;
    putLittleEndian(text.size(), 2);
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return true;
}

bool BinaryWriter::putData(std::span<const uint8_t> data) {
    if (data.size() > std::numeric_limits<uint32_t>::max()) return false;
    putLittleEndian(data.size(), 4);
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return true;
}

std::optional<std::span<const uint8_t>> BinaryReader::bytes(size_t count) {
    if (input_.size() - position_ < count) return std::nullopt;
    const auto field = input_.subspan(position_, count);
    position_ += count;
    return field;
}

std::optional<uint64_t> BinaryReader::littleEndian(size_t width) {
    const auto field = bytes(width);
    if (!field) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value |= uint64_t{(*field)[i]} << (8 * i);
    return value;
}

std::optional<uint64_t> BinaryReader::uint64() {
    return littleEndian(8);
}

std::optional<uint32_t> BinaryReader::uint32() {
    const auto value = littleEndian(4);
    if (!value) return std::nullopt;
    return static_cast<uint32_t>(*value);
}

std::optional<bool> BinaryReader::boolean() {
    const auto value = littleEndian(1);
    if (!value || *value > 1) return std::nullopt;
    return *value == 1;
}

std::optional<std::string> BinaryReader::string() {
    const auto length = littleEndian(2);
    if (!length) return std::nullopt;
    const auto field = bytes(*length);
    if (!field) return std::nullopt;
    return std::string(field->begin(), field->end());
}

std::optional<std::span<const uint8_t>> BinaryReader::data() {
    const auto length = uint32();
    if (!length) return std::nullopt;
    return bytes(*length);
}

} // namespace brimo
