#pragma once

// Files and directories for the tests of the phone's storage.

#include "shared/Bytes.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace brimo::test {

// A fresh directory, removed with everything in it afterwards.
struct TempRoot {
    explicit TempRoot(const char* prefix = "phone-root") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        root = mkdtemp(pattern.data());
    }
    ~TempRoot() { std::filesystem::remove_all(root); }
    std::filesystem::path root;
};

inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes fileContent(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& path, const Bytes& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
}

// The files of writes in progress in `directory`.
inline std::vector<std::string> stagingFiles(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        if (entry.path().filename().string().starts_with(".brimo-staging-"))
            names.push_back(entry.path().filename());
    return names;
}

} // namespace brimo::test
