#pragma once
// Folder creation. Safe from any thread.

#include <string>

namespace quorvel::platform {

// Creates one folder (its parent must exist). True when the folder exists
// afterwards, whether it was made now or was there already.
bool CreateFolder(const std::string& path);

}  // namespace quorvel::platform
