#include "shared/json/Uuid.h"

#include <uuid/uuid.h>

namespace brimo {
namespace {

constexpr size_t textLength = 36;

} // namespace

Uuid Uuid::random() {
    Uuid uuid;
    uuid_generate_random(uuid.bytes.data());
    return uuid;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    // uuid_parse reads a C string; checking the length first also keeps an embedded NUL from
    // cutting a longer text down to a valid prefix.
    if (text.size() != textLength) return std::nullopt;
    const std::string terminated(text);
    Uuid uuid;
    if (uuid_parse(terminated.c_str(), uuid.bytes.data()) != 0) return std::nullopt;
    return uuid;
}

std::string Uuid::toString() const {
    char text[textLength + 1];
    uuid_unparse_upper(bytes.data(), text);
    return text;
}

} // namespace brimo
