#pragma once

// The checked field readers shared by every JSON document of the system.

#include "shared/Bytes.h"
#include "shared/json/Uuid.h"

#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

namespace brimo::json {

class FieldReader;

// Parses the bytes as a JSON object and hands its fields to `read`; false when the bytes are no
// object or any field failed to read.
bool readDocument(std::span<const uint8_t> bytes, const std::function<void(FieldReader&)>& read);

// The record that `build` makes from a document's fields, or none when readDocument fails.
template <typename Record, typename Build>
std::optional<Record> decodeDocument(std::span<const uint8_t> bytes, Build build) {
    std::optional<Record> record;
    if (!readDocument(bytes, [&](FieldReader& fields) { record = build(fields); }))
        return std::nullopt;
    return record;
}

// Compact JSON text of a document built with its keys in order.
Bytes serialize(const nlohmann::ordered_json& document);

// Reads the fields of one JSON object the way the default decoder does: a required key that is
// missing or null, or any key of the wrong type, marks the whole read failed and yields a default
// value; callers build their record from the results and then check failed(). Integers must be
// whole numbers within the field's range, Data is standard Base64, a UUID must parse. An optional
// key that is missing or null reads as none. Unknown keys are never looked at.
class FieldReader {
public:
    explicit FieldReader(const nlohmann::json& object);
    FieldReader(const FieldReader&) = delete;
    FieldReader& operator=(const FieldReader&) = delete;

    bool failed() const { return *failed_; }
    void fail() { *failed_ = true; }

    std::string string(const char* key);
    bool boolean(const char* key);
    uint64_t uint64(const char* key);
    uint32_t uint32(const char* key);
    int64_t int64(const char* key);
    int32_t int32(const char* key);
    Bytes data(const char* key);
    Uuid uuid(const char* key);

    std::optional<std::string> optionalString(const char* key);
    std::optional<uint32_t> optionalUint32(const char* key);
    std::optional<Bytes> optionalData(const char* key);

    // A reader of a nested object; its failures are this reader's failures.
    FieldReader object(const char* key);
    // What `read` makes of a nested object, or none when the key is missing or null.
    template <typename Read>
    auto optionalObject(const char* key, Read read)
        -> std::optional<std::invoke_result_t<Read, FieldReader&>> {
        if (!present(key)) return std::nullopt;
        FieldReader nested = object(key);
        return read(nested);
    }
    // Hands each element of a required array to `read`; an element that is no object fails.
    void objects(const char* key, const std::function<void(FieldReader&)>& read);

private:
    FieldReader(const nlohmann::json* object, bool* failed);
    const nlohmann::json* required(const char* key);
    bool present(const char* key) const;
    template <typename T> T integer(const char* key);

    const nlohmann::json* object_;
    bool ownFailed_ = false;
    bool* failed_;
};

} // namespace brimo::json
