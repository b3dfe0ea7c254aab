#include "platform/FileAppend.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

namespace quorvel::platform {

namespace {

// Log lines are nobody else's business: the owner writes, the group reads.
constexpr mode_t kLogFileMode = 0640;

// A device put in the log's place, or any other file that is not regular.
constexpr int kNotRegularFile = EINVAL;

// The folder that holds the file is itself looked at without following a
// link: O_NOFOLLOW covers the last part of the path only.
int CheckFolderOf(const std::string& path) {
    size_t cut = path.rfind('/');
    while (cut != std::string::npos && cut > 0 && path[cut - 1] == '/') --cut;
    if (cut == std::string::npos || cut == 0) return 0;
    struct stat st {};
    if (lstat(path.substr(0, cut).c_str(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

AppendFailure AppendFailureOf(int code) {
    switch (code) {
        case EWOULDBLOCK: return AppendFailure::Locked;
        case ENOENT: return AppendFailure::NoFolder;
        // Answers that no later attempt can change. ELOOP is O_NOFOLLOW
        // meeting a symbolic link, which a service running as root must never
        // write through.
        case ELOOP:
        case EISDIR:
        case ENAMETOOLONG:
        case ENOTDIR:
        case EACCES:
        case EPERM:
        case ENXIO:
        case EROFS:
        case kNotRegularFile: return AppendFailure::Refused;
        // The disk refuses the bytes: full, over quota or size limit, failing.
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
        case EIO: return AppendFailure::WriteFailed;
        default: return AppendFailure::OpenFailed;
    }
}

int AppendToFile(const std::string& path, std::string_view bytes, AppendLock lock, bool* lockSkipped) {
    if (lockSkipped != nullptr) *lockSkipped = false;
    if (const int folderError = CheckFolderOf(path)) return folderError;
    // No O_TRUNC: a file that another writer created between our look and our
    // open keeps its lines. O_NONBLOCK changes nothing for a regular file, but
    // a FIFO found at the path would otherwise block the open until a reader
    // comes, and with it the thread that serves every instance.
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, kLogFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    // Closing the descriptor also drops the flock, so the lock lives exactly
    // as long as this owner.
    const UniqueFd file(fd);

    // flock stands in for an exclusive sharing mode, which POSIX lacks. It is
    // advisory, and any opener may take it, readers too: a reader holding it
    // gets its consistent view for as long as the caller waits, and no
    // longer, since O_APPEND puts each write whole at the end without it.
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    const bool locked = rc == 0;
    if (!locked && (errno != EWOULDBLOCK || lock == AppendLock::Required)) return errno;
    if (lockSkipped != nullptr) *lockSkipped = !locked;

    // Read under the lock: the length to go back to if the write fails.
    struct stat st {};
    if (fstat(fd, &st) != 0) return errno;
    // A device put in the log's place takes no log lines.
    if (!S_ISREG(st.st_mode)) return kNotRegularFile;

    const size_t done = WriteAll(fd, bytes);
    if (done < bytes.size()) {
        const int error = errno;
        // Take back the part already written, so that no half line stays
        // behind. Under the lock nobody appended after it; without it, only
        // while the file still ends where our part does.
        const off_t end = lseek(fd, 0, SEEK_CUR);
        struct stat now {};
        const bool ours = locked || (end >= 0 && fstat(fd, &now) == 0 && now.st_size == end);
        if (done > 0 && ours) {
            const off_t back = locked ? st.st_size : end - static_cast<off_t>(done);
            while (ftruncate(fd, back) != 0 && errno == EINTR) {
            }
        }
        return error;
    }
    return 0;
}

}  // namespace quorvel::platform
