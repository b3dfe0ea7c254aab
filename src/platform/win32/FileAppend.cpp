#include "platform/FileAppend.h"

#include <windows.h>

namespace quorvel::platform {

namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : h_(h) {}
    ~FileHandle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

AppendStatus Fail(AppendStatus status, int* errorCode, DWORD error) {
    if (errorCode) *errorCode = static_cast<int>(error);
    return status;
}

}  // namespace

AppendStatus AppendToFile(const std::string& path, std::string_view bytes, int* errorCode) {
    if (errorCode) *errorCode = 0;
    // Share mode 0 is the whole exclusion: while we hold the file nobody else
    // opens it, and an opener already there makes us fail at once. OPEN_ALWAYS
    // creates a missing file and never truncates one that exists.
    FileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        switch (error) {
            case ERROR_SHARING_VIOLATION:
            case ERROR_LOCK_VIOLATION: return Fail(AppendStatus::Locked, errorCode, error);
            case ERROR_PATH_NOT_FOUND: return Fail(AppendStatus::NoFolder, errorCode, error);
            // A name the system rejects stays rejected.
            case ERROR_INVALID_NAME:
            case ERROR_FILENAME_EXCED_RANGE:
            case ERROR_DIRECTORY: return Fail(AppendStatus::Refused, errorCode, error);
            case ERROR_ACCESS_DENIED: {
                // A folder answers "access denied" too; unlike a file that is
                // busy for a moment, it never takes a line.
                const DWORD attributes = GetFileAttributesA(path.c_str());
                const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
                return Fail(folder ? AppendStatus::Refused : AppendStatus::OpenFailed, errorCode, error);
            }
            default: return Fail(AppendStatus::OpenFailed, errorCode, error);
        }
    }

    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return Fail(AppendStatus::OpenFailed, errorCode, GetLastError());
    if (!SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN)) {
        return Fail(AppendStatus::OpenFailed, errorCode, GetLastError());
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            const DWORD error = written == 0 && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            // Take back the part already written, so that no half line stays
            // behind; nobody else can have the file open meanwhile.
            if (done > 0 && SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN)) SetEndOfFile(file.get());
            return Fail(AppendStatus::WriteFailed, errorCode, error);
        }
        done += written;
    }
    return AppendStatus::Written;
}

}  // namespace quorvel::platform
