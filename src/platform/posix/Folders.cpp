#include "platform/Folders.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::platform {

bool CreateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0750) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RestrictFolderToGroup(const std::string& path) {
    struct stat st {};
    // lstat: a link in the folder's place is not followed to change its target.
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
    if ((st.st_mode & S_IRWXO) == 0) return false;
    return chmod(path.c_str(), st.st_mode & 07770) == 0;
}

bool OthersMayRead(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

}  // namespace quorvel::platform
