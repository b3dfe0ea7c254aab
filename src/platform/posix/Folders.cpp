#include "platform/Folders.h"

#include <errno.h>
#include <sys/stat.h>

namespace quorvel::platform {

bool CreateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace quorvel::platform
