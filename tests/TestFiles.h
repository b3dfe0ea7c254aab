#pragma once
// Temporary folders and whole-file reads for the tests.

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/Paths.h"

namespace quorvel::test {

class TempFolder {
public:
    TempFolder() {
        std::random_device random;
        std::filesystem::path p;
        do p = std::filesystem::temp_directory_path() / ("quorvel-" + std::to_string(random()));
        while (!std::filesystem::create_directory(p));
        path_ = p.string() + platform::PathSeparator();
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // Ends with the platform's folder separator.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

}  // namespace quorvel::test
