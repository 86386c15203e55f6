#include "fuzz/FuzzCheck.h"
#include "service/ServiceVersion.h"

#include <limits>
#include <string_view>

using namespace brimo;

namespace {

// The same rule written out plainly: one optional sign, then at least one digit and nothing else,
// within a signed 64-bit value; 0 otherwise.
int64_t referenceVersion(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return 0;
    __int128 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > __int128{std::numeric_limits<int64_t>::max()} + 1) return 0;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<int64_t>::max()) return 0;
    return static_cast<int64_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int64_t version = parseBundleVersion(text);
    FUZZ_CHECK(version == referenceVersion(text));
    if (version != 0) FUZZ_CHECK(parseBundleVersion(std::to_string(version)) == version);
    return 0;
}
