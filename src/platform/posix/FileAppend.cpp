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

AppendStatus Fail(AppendStatus status, int* errorCode, int error) {
    if (errorCode) *errorCode = error;
    return status;
}

}  // namespace

AppendStatus AppendToFile(const std::string& path, std::string_view bytes, int* errorCode) {
    if (errorCode) *errorCode = 0;
    // No O_TRUNC: a file that another writer created between our look and our
    // open keeps its lines. O_NONBLOCK changes nothing for a regular file, but
    // a FIFO found at the path would otherwise block the open until a reader
    // comes, and with it the thread that serves every instance; now it fails
    // with ENXIO like any other file that cannot be opened.
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int error = errno;
        return Fail(error == ENOENT ? AppendStatus::NoFolder : AppendStatus::OpenFailed, errorCode, error);
    }
    // Closing the descriptor also drops the flock, so the lock lives exactly
    // as long as this owner.
    const UniqueFd file(fd);

    // flock stands in for an exclusive sharing mode, which POSIX lacks; it is
    // advisory, so only writers that take it too are kept out.
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        return Fail(error == EWOULDBLOCK ? AppendStatus::Locked : AppendStatus::OpenFailed, errorCode, error);
    }

    struct stat st {};
    const bool knowSize = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const size_t done = WriteAll(fd, bytes);
    if (done < bytes.size()) {
        const int error = errno;
        // Take back the part already written, so that no half line stays
        // behind; we still hold the lock, so nobody appended after it.
        if (knowSize && done > 0) {
            while (ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
            }
        }
        return Fail(AppendStatus::WriteFailed, errorCode, error);
    }
    return AppendStatus::Written;
}

}  // namespace quorvel::platform
