#pragma once

#include <charconv>
#include <optional>
#include <string_view>

// Word splitting and number parsing of the control language.
namespace brimo::sim {

// Splits off the next space-separated word; `rest` keeps what follows its separating space.
inline std::string_view nextWord(std::string_view& rest) {
    size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    size_t end = rest.find(' ');
    std::string_view word = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return word;
}

// The whole text as a decimal number of type T; nothing for anything else, including a sign
// on an unsigned type or a value out of range.
template <class T> std::optional<T> parseNumber(std::string_view text) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

} // namespace brimo::sim
