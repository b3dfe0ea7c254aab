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

platform::AppendStatus AppendOnce(const std::string& path, std::string_view bytes, int* errorCode) {
    const platform::AppendStatus status = platform::AppendToFile(path, bytes, errorCode);
    if (status != platform::AppendStatus::NoFolder) return status;
    // A removed logs folder is made again at once: waiting would only hold
    // the lines back and lose them anyway.
    const std::string folder = FolderOf(path);
    if (folder.empty() || !platform::CreateFolder(folder)) return status;
    return platform::AppendToFile(path, bytes, errorCode);
}

}  // namespace quorvel
