#include "shared/BundleInfo.h"

#include "shared/Decimal.h"

#include <fstream>
#include <iterator>
#include <plist/plist.h>

namespace brimo {

int64_t parseBundleVersion(std::string_view text) {
    return parseSignedDecimal(text).value_or(0);
}

std::optional<std::string> infoDictionaryString(const std::filesystem::path& plist,
                                                const char* key) {
    std::ifstream file(plist, std::ios::binary);
    if (!file) return std::nullopt;
    const std::string contents{std::istreambuf_iterator<char>(file), {}};
    plist_t root = nullptr;
    plist_from_memory(contents.data(), static_cast<uint32_t>(contents.size()), &root);
    if (!root) return std::nullopt;
    std::optional<std::string> value;
    if (plist_get_node_type(root) == PLIST_DICT) {
        plist_t node = plist_dict_get_item(root, key);
        if (node && plist_get_node_type(node) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            if (text) value = text;
            free(text);
        }
    }
    plist_free(root);
    return value;
}

std::optional<std::filesystem::path> enclosingBundle(const std::filesystem::path& executable) {
    for (auto dir = executable.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
        const auto extension = dir.extension();
        if (extension != ".app" && extension != ".xpc" && extension != ".appex") continue;
        std::error_code ignored;
        if (std::filesystem::is_regular_file(infoDictionaryPath(dir), ignored)) return dir;
    }
    return std::nullopt;
}

} // namespace brimo
