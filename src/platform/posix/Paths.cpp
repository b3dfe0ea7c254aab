#include "platform/Paths.h"

#include <unistd.h>

#include <vector>

namespace quorvel::platform {

char PathSeparator() { return '/'; }

std::string ExecutablePath() {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
}

}  // namespace quorvel::platform
