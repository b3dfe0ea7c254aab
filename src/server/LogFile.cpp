#include "server/LogFile.h"

#include "platform/Clock.h"
#include "platform/FileAppend.h"
#include "platform/Folders.h"
#include "platform/Paths.h"

namespace quorvel {

TLogWriteError::TLogWriteError(const std::string& path, int code)
    : std::system_error(code, std::system_category()),
      text_("cannot write to " + path + " (error " + std::to_string(code) + ")") {}

namespace {

std::string FolderOf(const std::string& path) {
    size_t cut = path.rfind(platform::PathSeparator());
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

int AppendOnce(const std::string& path, std::string_view bytes) {
    const int code = platform::AppendToFile(path, bytes);
    if (code == 0 || platform::AppendFailureOf(code) != platform::AppendFailure::NoFolder) return code;
    // A removed logs folder is made again at once: waiting would only hold
    // the lines back and lose them anyway.
    const std::string folder = FolderOf(path);
    if (folder.empty() || platform::CreateFolder(folder) != 0) return code;
    return platform::AppendToFile(path, bytes);
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
        const int code = AppendOnce(path, line);
        if (code == 0) return true;
        switch (platform::AppendFailureOf(code)) {
            case platform::AppendFailure::WriteFailed:
                throw TLogWriteError(path, code);
            case platform::AppendFailure::Refused:
                throw TLogRefusedError(path, code);
            case platform::AppendFailure::NoFolder:
                return false;
            case platform::AppendFailure::Locked:
            case platform::AppendFailure::OpenFailed:
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
