#include "server/LogFile.h"

#include "platform/Folders.h"
#include "platform/Paths.h"

namespace quorvel {

namespace {

std::string FolderOf(const std::string& path) {
    size_t cut = path.rfind(platform::PathSeparator());
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

int AppendOnce(const std::string& path, std::string_view bytes, platform::AppendLock lock, bool* lockSkipped) {
    const int code = platform::AppendToFile(path, bytes, lock, lockSkipped);
    if (code == 0 || platform::AppendFailureOf(code) != platform::AppendFailure::NoFolder) return code;
    // A removed logs folder is made again at once: waiting would only hold
    // the lines back and lose them anyway.
    const std::string folder = FolderOf(path);
    if (folder.empty() || platform::CreateFolder(folder) != 0) return code;
    return platform::AppendToFile(path, bytes, lock, lockSkipped);
}

}  // namespace quorvel
