#include "platform/FolderListing.h"

#include <windows.h>

namespace quorvel::platform {

namespace {

class FindHandle {
public:
    explicit FindHandle(HANDLE h) : h_(h) {}
    ~FindHandle() {
        if (h_ != INVALID_HANDLE_VALUE) FindClose(h_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE Get() const { return h_; }

private:
    HANDLE h_;
};

EntryKind KindOf(DWORD attributes) {
    // A reparse point (symbolic link, junction, mount point) goes elsewhere,
    // whatever kind of entry it claims to be.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::Other;
    return EntryKind::File;
}

}  // namespace

int ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return static_cast<int>(ERROR_CANT_ACCESS_FILE);
    std::string pattern = folder;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA data{};
    FindHandle find(FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (find.Get() == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(error);
    }
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        FolderEntry found;
        found.Name = name;
        found.Kind = KindOf(data.dwFileAttributes);
        if (found.Kind == EntryKind::File) {
            found.Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        entries.push_back(std::move(found));
    } while (FindNextFileA(find.Get(), &data));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(error);
}

int RemoveFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return static_cast<int>(GetLastError());
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return static_cast<int>(ERROR_CANT_ACCESS_FILE);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return static_cast<int>(ERROR_DIRECTORY);
    return DeleteFileA(path.c_str()) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace quorvel::platform
