#pragma once

#include "shared/Bytes.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Little-endian field codec of the binary chunk payloads: plain concatenations of fields with no
// header and no padding. A String field is a UInt16 byte count and the UTF-8 bytes; a Data field
// is a UInt32 byte count and the bytes.
namespace brimo {

class BinaryWriter {
public:
    void putUInt64(uint64_t value);
    void putUInt32(uint32_t value);
    void putBool(bool value);
    // False, writing nothing, when the text does not fit its length prefix (65,536 bytes or more).
    [[nodiscard]] bool putString(std::string_view text);
    // False, writing nothing, when the data does not fit its length prefix (2^32 bytes or more).
    [[nodiscard]] bool putData(std::span<const uint8_t> data);

    Bytes take() && { return std::move(bytes_); }

private:
    void putLittleEndian(uint64_t value, size_t width);

    Bytes bytes_;
};

// Every read returns none when the input ends before the field does; a Bool byte other than 0 or
// 1 is rejected too. A failed read leaves the position unspecified: callers give up on the input.
class BinaryReader {
public:
    explicit BinaryReader(std::span<const uint8_t> input)
        : input_(input) {}

    std::optional<uint64_t> uint64();
    std::optional<uint32_t> uint32();
    std::optional<bool> boolean();
    std::optional<std::string> string();
    // A view into the input, valid as long as the input is.
    std::optional<std::span<const uint8_t>> data();

    bool atEnd() const { return position_ == input_.size(); }

private:
    std::optional<uint64_t> littleEndian(size_t width);
    std::optional<std::span<const uint8_t>> bytes(size_t count);

    std::span<const uint8_t> input_;
    size_t position_ = 0;
};

} // namespace brimo
