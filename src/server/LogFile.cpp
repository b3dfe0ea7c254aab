#include "server/LogFile.h"

#include "platform/Clock.h"
#include "platform/FileAppend.h"
#include "platform/Folders.h"
#include "platform/Paths.h"

namespace quorvel {

TLogWriteError::TLogWriteError(const std::string& path, int code)
    : std::runtime_error("cannot write to " + path + " (error " + std::to_string(code) + ")"), code_(code) {}

namespace {

std::string FolderOf(const std::string& path) {
    size_t cut = path.rfind(platform::PathSeparator());
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

bool AppendText(const std::string& path, std::string_view text, std::string_view lineEnd) {
    // One write of the whole line, so that a line never mixes with another
    // writer's. A caller that brings its line end along needs no copy.
    std::string joined;
    std::string_view line = text;
    if (!lineEnd.empty()) {
        joined.reserve(text.size() + lineEnd.size());
        joined.append(text).append(lineEnd);
        line = joined;
    }

    bool folderMade = false;
    for (int attempt = 1; attempt <= kAppendAttempts;) {
        int code = 0;
        switch (platform::AppendToFile(path, line, &code)) {
            case platform::AppendStatus::Written:
                return true;
            case platform::AppendStatus::WriteFailed:
                throw TLogWriteError(path, code);
            case platform::AppendStatus::Refused:
                throw TLogRefusedError(path, code);
            case platform::AppendStatus::NoFolder: {
                // A removed logs folder is made again at once: waiting would
                // only stall reception and lose the line anyway.
                std::string folder = FolderOf(path);
                if (folderMade || folder.empty() || !platform::CreateFolder(folder)) return false;
                folderMade = true;
                continue;
            }
            case platform::AppendStatus::Locked:
            case platform::AppendStatus::OpenFailed:
                break;
        }
        platform::SleepMilliseconds(kAppendRetryMilliseconds);
        ++attempt;
    }
    return false;
}

bool AppendLine(const std::string& path, std::string_view text) {
    return AppendText(path, text, "\r\n");
}

}  // namespace quorvel
