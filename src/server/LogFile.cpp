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

platform::AppendStatus AppendOnce(const std::string& path, std::string_view bytes, int* errorCode) {
    const platform::AppendStatus status = platform::AppendToFile(path, bytes, errorCode);
    if (status != platform::AppendStatus::NoFolder) return status;
    // A removed logs folder is made again at once: waiting would only hold
    // the lines back and lose them anyway.
    const std::string folder = FolderOf(path);
    if (folder.empty() || !platform::CreateFolder(folder)) return status;
    return platform::AppendToFile(path, bytes, errorCode);
}

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

    for (int attempt = 1; attempt <= kAppendAttempts; ++attempt) {
        int code = 0;
        switch (AppendOnce(path, line, &code)) {
            case platform::AppendStatus::Written:
                return true;
            case platform::AppendStatus::WriteFailed:
                throw TLogWriteError(path, code);
            case platform::AppendStatus::Refused:
                throw TLogRefusedError(path, code);
            case platform::AppendStatus::NoFolder:
                return false;
            case platform::AppendStatus::Locked:
            case platform::AppendStatus::OpenFailed:
                break;
        }
        platform::SleepMilliseconds(kAppendRetryMilliseconds);
    }
    return false;
}

bool AppendLine(const std::string& path, std::string_view text) {
    return AppendText(path, text, "\r\n");
}

}  // namespace quorvel
