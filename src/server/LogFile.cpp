// Appending to a log file, and the file names and time stamps of its lines.

#include "server/LogFile.h"

#include "platform/Folders.h"
#include "platform/Paths.h"
#include "util/Chars.h"
#include "util/DString.h"

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

// One pass gives what replacing the three fields one after the other gives:
// a replacement is digits only, so it can neither hold a field nor complete
// one. A Shift_JIS trail byte is never '%', so a plain byte scan cannot
// split a character.
void AppendExpandedName(std::string& out, std::string_view pattern, const platform::LocalTime& now) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            switch (UpperAscii(pattern[i + 1])) {
                case 'Y': out += std::to_string(now.Year); ++i; continue;
                case 'M': out += ZeroPad2(now.Month); ++i; continue;
                case 'D': out += ZeroPad2(now.Day); ++i; continue;
                default: break;
            }
        }
        out += pattern[i];
    }
}

void BuildLogPath(std::string& path, const std::string& folder, std::string_view pattern,
                  const platform::LocalTime& now) {
    path = EnsureTrailingBackslash(folder);
    if (pattern.find('%') == std::string_view::npos) {
        path += pattern;
    } else {
        AppendExpandedName(path, pattern, now);
    }
}

std::string DateText(const platform::LocalTime& t) {
    return std::to_string(t.Year) + "/" + ZeroPad2(t.Month) + "/" + ZeroPad2(t.Day);
}

std::string TimeText(const platform::LocalTime& t) {
    return ZeroPad2(t.Hour) + ":" + ZeroPad2(t.Minute) + ":" + ZeroPad2(t.Second) + "." +
           ZeroPad3(t.Millisecond);
}

}  // namespace quorvel
