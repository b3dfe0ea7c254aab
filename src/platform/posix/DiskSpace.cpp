#include "platform/DiskSpace.h"

#include <errno.h>
#include <sys/statvfs.h>

namespace quorvel::platform {

int FreeSpace(const std::string& folder, uint64_t& bytes) {
    struct statvfs st {};
    if (statvfs(folder.c_str(), &st) != 0) return errno;
    // f_bavail, not f_bfree: the reserved blocks are root's, and a service
    // running as root would otherwise be warned only once they are gone too.
    bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return 0;
}

}  // namespace quorvel::platform
