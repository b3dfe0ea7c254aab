#include "platform/FileStreams.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

namespace quorvel::platform {

namespace {

// As the logs themselves: the owner writes, the group reads.
constexpr mode_t kNewFileMode = 0640;

std::string FolderOf(const std::string& path) {
    const size_t cut = path.rfind('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? "/" : path.substr(0, cut);
}

}  // namespace

int InputFile::Open(const std::string& path) {
    Close();
    // O_NONBLOCK: a FIFO in the file's place must not hold the open.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) return errno;
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    handle_ = fd.Release();
    return 0;
}

long long InputFile::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(static_cast<int>(handle_), buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

long long InputFile::Length() const {
    struct stat st {};
    return fstat(static_cast<int>(handle_), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

void InputFile::Close() {
    if (handle_ >= 0) close(static_cast<int>(handle_));
    handle_ = -1;
}

int OutputFile::Create(const std::string& path) {
    Close();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
    if (fd < 0) return errno;
    handle_ = fd;
    return 0;
}

int OutputFile::Write(std::string_view bytes) {
    if (handle_ < 0) return EBADF;
    return WriteAll(static_cast<int>(handle_), bytes) == bytes.size() ? 0 : errno;
}

int OutputFile::Sync() {
    if (handle_ < 0) return EBADF;
    while (fsync(static_cast<int>(handle_)) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int OutputFile::Close() {
    if (handle_ < 0) return 0;
    const int rc = close(static_cast<int>(handle_));
    handle_ = -1;
    return rc == 0 ? 0 : errno;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without the flag: a hard link is just as exclusive.
        if (link(from.c_str(), to.c_str()) != 0) return errno;
        unlink(from.c_str());
    }
    // The new name lives in the folder: until the folder is synced, a crash
    // may forget the rename although the file's bytes are on the disk.
    const UniqueFd folder(open(FolderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.Valid()) return errno;
    return fsync(folder.Get()) == 0 || errno == EINVAL ? 0 : errno;
}

}  // namespace quorvel::platform
