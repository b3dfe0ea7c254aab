#include "platform/FolderListing.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace quorvel::platform {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

EntryKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::File;
    if (S_ISLNK(mode)) return EntryKind::Link;
    if (S_ISDIR(mode)) return EntryKind::Folder;
    return EntryKind::Other;
}

}  // namespace

int ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    // O_NOFOLLOW: a link put in the folder's place is not listed through,
    // as the log writer does not write through one. A trailing slash would
    // make the system follow it all the same.
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
    if (!dir) {
        const int error = errno;
        close(fd);
        return error;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) return errno;
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        // Gone since the listing began: nothing to report about it.
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        FolderEntry found;
        found.Name = name;
        found.Kind = KindOf(st.st_mode);
        if (found.Kind == EntryKind::File) found.Size = static_cast<uint64_t>(st.st_size);
        entries.push_back(std::move(found));
    }
    return 0;
}

int RemoveFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace quorvel::platform
