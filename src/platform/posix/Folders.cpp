#include "platform/Folders.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvel::platform {

namespace {

// Owner all, group read and enter, others nothing.
constexpr mode_t kFolderMode = 0750;
// Every bit but the access of others.
constexpr mode_t kWithoutOthers = 07770;

}  // namespace

int CreateFolder(const std::string& path) {
    if (mkdir(path.c_str(), kFolderMode) == 0) return 0;
    if (errno != EEXIST) return errno;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

bool OthersMayEnterOwnFolder(const std::string& path) {
    struct stat st {};
    // lstat: a link in the folder's place is not followed to change its target.
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & S_IRWXO) != 0;
}

int RestrictFolderToGroup(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno;
    return chmod(path.c_str(), st.st_mode & kWithoutOthers) == 0 ? 0 : errno;
}

bool OthersMayRead(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
}

}  // namespace quorvel::platform
