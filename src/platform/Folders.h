#pragma once
// Folder creation and the access others have to files and folders. Safe
// from any thread.

#include <string>

namespace quorvel::platform {

// Creates one folder (its parent must exist; on POSIX without access for
// others). 0 when the folder exists afterwards, whether it was made now or
// was there already; otherwise the system's error code.
int CreateFolder(const std::string& path);

// True when users other than the owner and the group have any access to the
// folder (one made by an older version with wider rights), which is this
// process's user's own, and no link. Windows: always false (its folders
// inherit their access lists).
bool OthersMayEnterOwnFolder(const std::string& path);

// Takes every access for others away from the folder: 0 or the system's
// error code.
int RestrictFolderToGroup(const std::string& path);

// True when users other than the owner and the group may read the file.
// Windows: always false.
bool OthersMayRead(const std::string& path);

}  // namespace quorvel::platform
