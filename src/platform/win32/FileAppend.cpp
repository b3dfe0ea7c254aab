#include "platform/FileAppend.h"

#include <windows.h>

#include "platform/UniqueHandle.h"

namespace quorvel::platform {

namespace {

// CreateFile reports a failure as INVALID_HANDLE_VALUE, (HANDLE)-1.
using FileHandle = UniqueHandle<HandleTraits<HANDLE, -1, &CloseHandle>>;

// Held while the bytes go in; released before the handle closes, since a
// lock left to the close may outlive it for a while.
class RangeLock {
public:
    explicit RangeLock(HANDLE h) : h_(h) {}
    ~RangeLock() {
        if (held_) {
            OVERLAPPED whole{};
            UnlockFileEx(h_, 0, MAXDWORD, MAXDWORD, &whole);
        }
    }
    RangeLock(const RangeLock&) = delete;
    RangeLock& operator=(const RangeLock&) = delete;
    // The whole file, and every byte it may grow to, without waiting.
    bool TryLock() {
        OVERLAPPED whole{};
        held_ = LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) != 0;
        return held_;
    }
    bool Held() const { return held_; }

private:
    HANDLE h_;
    bool held_ = false;
};

// The largest piece one WriteFile is given.
constexpr DWORD kWriteChunk = 0x40000000;

int OpenError(const std::string& path) {
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED) return static_cast<int>(error);
    // A folder answers "access denied" too; unlike a file that is busy for a
    // moment, it never takes a line.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return static_cast<int>(folder ? ERROR_DIRECTORY : error);
}

}  // namespace

AppendFailure AppendFailureOf(int code) {
    switch (static_cast<DWORD>(code)) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return AppendFailure::Locked;
        case ERROR_PATH_NOT_FOUND: return AppendFailure::NoFolder;
        // A name the system rejects stays rejected.
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_DIRECTORY: return AppendFailure::Refused;
        // The disk refuses the bytes: full, over quota, failing.
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_NOT_ENOUGH_QUOTA:
        case ERROR_WRITE_FAULT: return AppendFailure::WriteFailed;
        default: return AppendFailure::OpenFailed;
    }
}

int AppendToFile(const std::string& path, std::string_view bytes, AppendLock lock, bool* lockSkipped) {
    if (lockSkipped != nullptr) *lockSkipped = false;
    // Every sharing is granted, so that a reader's open handle (a viewer, a
    // tail, a backup) never stops the append, and a log can be renamed away
    // while it is open. The exclusion that readers may honour is the
    // whole-file lock below, as flock is on POSIX. Only an opener that
    // itself shares no writing still keeps us out: that is Locked, and waits.
    // OPEN_ALWAYS creates a missing file and never truncates one that exists.
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return OpenError(path);

    RangeLock range(file.Get());
    if (!range.TryLock()) {
        const DWORD error = GetLastError();
        if (lock == AppendLock::Required || error != ERROR_LOCK_VIOLATION) return static_cast<int>(error);
        if (lockSkipped != nullptr) *lockSkipped = true;
    }

    // Read under the lock: the length to go back to if the write fails.
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) return static_cast<int>(GetLastError());
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = left > kWriteChunk ? kWriteChunk : static_cast<DWORD>(left);
        // Both offsets all ones: each piece goes to the end of the file as
        // the write finds it, as O_APPEND does, so that without the lock it
        // cannot land on another writer's bytes.
        OVERLAPPED atEnd{};
        atEnd.Offset = MAXDWORD;
        atEnd.OffsetHigh = MAXDWORD;
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data() + done, chunk, &written, &atEnd) || written == 0) {
            // A lock another process holds over the end of the file refuses
            // the write itself (Windows locks are mandatory): Locked again.
            const DWORD error = written == 0 && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            // Take back the part already written, so that no half line stays
            // behind; only under the lock, where nobody wrote after it.
            if (done > 0 && range.Held() && SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN)) {
                SetEndOfFile(file.Get());
            }
            return static_cast<int>(error);
        }
        done += written;
    }
    return 0;
}

}  // namespace quorvel::platform
