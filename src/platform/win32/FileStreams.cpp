#include "platform/FileStreams.h"

#include <windows.h>

namespace quorvel::platform {

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr intptr_t kNone = -1;  // INVALID_HANDLE_VALUE as a number
constexpr DWORD kWriteChunk = 1u << 30;

int LastError() { return static_cast<int>(GetLastError()); }

}  // namespace

int InputFile::Open(const std::string& path) {
    Close();
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than its
    // target, so that the check below refuses it.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError();
    handle_ = reinterpret_cast<intptr_t>(file);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        const int error = LastError();
        Close();
        return error;
    }
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
        Close();
        return static_cast<int>(ERROR_CANT_ACCESS_FILE);
    }
    return 0;
}

long long InputFile::Read(char* buffer, size_t size) {
    const DWORD asked = size > kWriteChunk ? kWriteChunk : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), buffer, asked, &got, nullptr)) return -1;
    return got;
}

long long InputFile::Length() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(AsHandle(handle_), &size) ? size.QuadPart : -1;
}

void InputFile::Close() {
    if (handle_ != kNone) CloseHandle(AsHandle(handle_));
    handle_ = kNone;
}

int OutputFile::Create(const std::string& path) {
    Close();
    // CREATE_NEW fails on any name that is taken, a link's included.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError();
    handle_ = reinterpret_cast<intptr_t>(file);
    return 0;
}

int OutputFile::Write(std::string_view bytes) {
    if (handle_ == kNone) return static_cast<int>(ERROR_INVALID_HANDLE);
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t left = bytes.size() - done;
        const DWORD chunk = left > kWriteChunk ? kWriteChunk : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), bytes.data() + done, chunk, &written, nullptr)) return LastError();
        if (written == 0) return static_cast<int>(ERROR_WRITE_FAULT);
        done += written;
    }
    return 0;
}

int OutputFile::Sync() {
    if (handle_ == kNone) return static_cast<int>(ERROR_INVALID_HANDLE);
    return FlushFileBuffers(AsHandle(handle_)) ? 0 : LastError();
}

int OutputFile::Close() {
    if (handle_ == kNone) return 0;
    const bool closed = CloseHandle(AsHandle(handle_));
    handle_ = kNone;
    return closed ? 0 : LastError();
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails on a taken name;
    // write-through returns only once the move is on the disk.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : LastError();
}

}  // namespace quorvel::platform
