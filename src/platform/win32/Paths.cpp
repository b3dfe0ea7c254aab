#include "platform/Paths.h"

#include <windows.h>

#include <vector>

namespace quorvel::platform {

char PathSeparator() { return '\\'; }

std::string ExecutablePath() {
    // GetModuleFileNameA truncates silently when the buffer is short: grow
    // until the answer fits (paths may exceed MAX_PATH with the \\?\ prefix).
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::string(buf.data(), n);
        if (buf.size() >= 32768) return {};
        buf.resize(buf.size() * 2);
    }
}

}  // namespace quorvel::platform
