#pragma once
// Folder creation and the access others have to files and folders. Safe
// from any thread.

#include <string>

namespace quorvel::platform {

// Creates one folder (its parent must exist; on POSIX without access for
// others). True when the folder exists afterwards, whether it was made now or
// was there already.
bool CreateFolder(const std::string& path);

// Takes every access for others away from an existing folder of this
// process's user (a folder made by an older version with wider rights).
// True when it did so; false when there was nothing to take or the folder is
// not ours. Windows: always false (its folders inherit their access lists).
bool RestrictFolderToGroup(const std::string& path);

// True when users other than the owner and the group may read the file.
// Windows: always false.
bool OthersMayRead(const std::string& path);

}  // namespace quorvel::platform
