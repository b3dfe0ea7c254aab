#include "platform/DiskSpace.h"

#include <windows.h>

namespace quorvel::platform {

int FreeSpace(const std::string& folder, uint64_t& bytes) {
    // The caller's share (quotas count), as every other call of the program
    // takes its paths: in the ANSI code page.
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, nullptr, nullptr)) return static_cast<int>(GetLastError());
    bytes = available.QuadPart;
    return 0;
}

}  // namespace quorvel::platform
