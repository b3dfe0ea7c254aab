#include "platform/FileAppend.h"

#include <windows.h>

#include "platform/UniqueHandle.h"

namespace quorvel::platform {

namespace {

// CreateFile reports a failure as INVALID_HANDLE_VALUE, (HANDLE)-1.
using FileHandle = UniqueHandle<HandleTraits<HANDLE, -1, &CloseHandle>>;

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

int AppendToFile(const std::string& path, std::string_view bytes) {
    // Share mode 0 is the whole exclusion: while we hold the file nobody else
    // opens it, and an opener already there makes us fail at once. OPEN_ALWAYS
    // creates a missing file and never truncates one that exists.
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (!file.Valid()) return OpenError(path);

    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || !SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN)) {
        return static_cast<int>(GetLastError());
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = left > kWriteChunk ? kWriteChunk : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            const DWORD error = written == 0 && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            // Take back the part already written, so that no half line stays
            // behind; nobody else can have the file open meanwhile.
            if (done > 0 && SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN)) SetEndOfFile(file.Get());
            return static_cast<int>(error);
        }
        done += written;
    }
    return 0;
}

}  // namespace quorvel::platform
