#include "platform/Folders.h"

#include <windows.h>

namespace quorvel::platform {

bool CreateFolder(const std::string& path) {
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool RestrictFolderToGroup(const std::string&) { return false; }

bool OthersMayRead(const std::string&) { return false; }

}  // namespace quorvel::platform
