#include "shared/json/JsonFields.h"

#include "shared/json/Base64.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

namespace brimo::json {
namespace {

// Whole numbers only; a float is taken when it has no fractional part, as the default decoder
// takes 5.0 for an integer field.
template <typename T> std::optional<T> integerValue(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<uint64_t>();
        if (!std::in_range<T>(number)) return std::nullopt;
        return static_cast<T>(number);
    }
    if (value.is_number_integer()) {
        const auto number = value.get<int64_t>();
        if (!std::in_range<T>(number)) return std::nullopt;
        return static_cast<T>(number);
    }
    if (value.is_number_float()) {
        const auto number = value.get<double>();
        // The upper bound is exclusive: max + 1 is a power of two and exact as a double.
        const auto lowest = static_cast<double>(std::numeric_limits<T>::min());
        const auto beyond = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
        if (std::trunc(number) != number || number < lowest || number >= beyond)
            return std::nullopt;
        return static_cast<T>(number);
    }
    return std::nullopt;
}

} // namespace

bool readDocument(std::span<const uint8_t> bytes, const std::function<void(FieldReader&)>& read) {
    const auto document = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!document.is_object()) return false;
    FieldReader fields(document);
    read(fields);
    return !fields.failed();
}

Bytes serialize(const nlohmann::ordered_json& document) {
    // Replacing invalid UTF-8 keeps encoding infallible; strings of valid UTF-8 are unchanged.
    const std::string text =
        document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return Bytes(text.begin(), text.end());
}

FieldReader::FieldReader(const nlohmann::json& object)
    : object_(&object)
    , failed_(&ownFailed_) {}

FieldReader::FieldReader(const nlohmann::json* object, bool* failed)
    : object_(object)
    , failed_(failed) {}

bool FieldReader::present(const char* key) const {
    if (object_ == nullptr) return false;
    const auto it = object_->find(key);
    return it != object_->end() && !it->is_null();
}

const nlohmann::json* FieldReader::required(const char* key) {
    if (!present(key)) {
        fail();
        return nullptr;
    }
    return &object_->at(key);
}

std::string FieldReader::string(const char* key) {
    const auto* value = required(key);
    if (value == nullptr) return {};
    if (!value->is_string()) {
        fail();
        return {};
    }
    return value->get<std::string>();
}

bool FieldReader::boolean(const char* key) {
    const auto* value = required(key);
    if (value == nullptr) return false;
    if (!value->is_boolean()) {
        fail();
        return false;
    }
    return value->get<bool>();
}

template <typename T> T FieldReader::integer(const char* key) {
    const auto* value = required(key);
    if (value == nullptr) return 0;
    const auto number = integerValue<T>(*value);
    if (!number) fail();
    return number.value_or(0);
}

uint64_t FieldReader::uint64(const char* key) {
    return integer<uint64_t>(key);
}

uint32_t FieldReader::uint32(const char* key) {
    return integer<uint32_t>(key);
}

int64_t FieldReader::int64(const char* key) {
    return integer<int64_t>(key);
}

int32_t FieldReader::int32(const char* key) {
    return integer<int32_t>(key);
}

Bytes FieldReader::data(const char* key) {
    auto decoded = base64Decode(string(key));
    if (!decoded) fail();
    return std::move(decoded).value_or(Bytes{});
}

Uuid FieldReader::uuid(const char* key) {
    const auto parsed = Uuid::parse(string(key));
    if (!parsed) fail();
    return parsed.value_or(Uuid{});
}

std::optional<std::string> FieldReader::optionalString(const char* key) {
    if (!present(key)) return std::nullopt;
    return string(key);
}

std::optional<uint32_t> FieldReader::optionalUint32(const char* key) {
    if (!present(key)) return std::nullopt;
    return uint32(key);
}

std::optional<Bytes> FieldReader::optionalData(const char* key) {
    if (!present(key)) return std::nullopt;
    return data(key);
}

FieldReader FieldReader::object(const char* key) {
    const auto* value = required(key);
    if (value != nullptr && !value->is_object()) {
        fail();
        value = nullptr;
    }
    return FieldReader(value, failed_);
}

void FieldReader::objects(const char* key, const std::function<void(FieldReader&)>& read) {
    const auto* value = required(key);
    if (value == nullptr) return;
    if (!value->is_array()) {
        fail();
        return;
    }
    for (const auto& element : *value) {
        // Reading stops at the first failure; the record is thrown away anyway.
        if (!element.is_object()) fail();
        if (failed()) return;
        FieldReader fields(&element, failed_);
        read(fields);
    }
}

} // namespace brimo::json
