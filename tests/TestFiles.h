#pragma once
// Temporary folders and whole-file reads for the tests.

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/Paths.h"

namespace quorvel::test {

// A fresh folder, removed with everything in it at the end of the scope.
class TempFolder {
public:
    explicit TempFolder(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        std::random_device random;
        std::filesystem::path p;
        do p = parent / ("quorvel-" + std::to_string(random()));
        while (!std::filesystem::create_directory(p));
        path_ = p.string() + platform::PathSeparator();
    }
    ~TempFolder() { std::filesystem::remove_all(path_, ignored_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }  // ends with the separator

private:
    std::string path_;
    std::error_code ignored_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

inline std::string ReadFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

}  // namespace quorvel::test
