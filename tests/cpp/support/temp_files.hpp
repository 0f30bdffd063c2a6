#pragma once
// A private temporary directory per test, removed with everything in it at the end.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quillmere::test_support {

struct TempDir {
    std::filesystem::path path = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return std::filesystem::path(pattern);
    }();
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }

    // Writes `contents` byte for byte to a file in the directory and returns its path.
    std::string write(const std::string& name, std::string_view contents) const {
        if (!(std::ofstream(path / name, std::ios::binary) << contents)) std::abort();
        return (path / name).string();
    }
};

}  // namespace quillmere::test_support
