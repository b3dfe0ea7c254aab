#include "platform/Folders.h"

#include <windows.h>

namespace quorvel::platform {

int CreateFolder(const std::string& path) {
    if (CreateDirectoryA(path.c_str(), nullptr)) return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return static_cast<int>(error);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? 0 : static_cast<int>(error);
}

bool OthersMayEnterOwnFolder(const std::string&) { return false; }

int RestrictFolderToGroup(const std::string&) { return 0; }

bool OthersMayRead(const std::string&) { return false; }

}  // namespace quorvel::platform
