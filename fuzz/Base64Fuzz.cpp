#include "fuzz/FuzzCheck.h"
#include "shared/json/Base64.h"

#include <algorithm>
#include <string_view>

using namespace brimo;

// Data fields have exactly one accepted text per byte string: decoding accepts only what the
// encoder writes, and the encoder's text always decodes back.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto decoded = base64Decode(text)) FUZZ_CHECK(base64Encode(*decoded) == text);

    const std::span<const uint8_t> bytes(data, size);
    const auto again = base64Decode(base64Encode(bytes));
    FUZZ_CHECK(again && std::ranges::equal(*again, bytes));
    return 0;
}
