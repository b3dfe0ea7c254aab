// The checks before a start: log names inside the logs folder, log files
// that open for append, and the notes on ini lines that change nothing.

#include "server/StartChecks.h"

#include "platform/FileAppend.h"
#include "platform/SystemError.h"
#include "server/ServerTexts.h"
#include "server/SyslogServer.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

// A value is shown in full up to this many bytes: a megabyte of name would
// otherwise fill the journal.
constexpr size_t kShownValueBytes = 200;

// The instances beyond this number have no slot.
constexpr int kLastInstance = 10;

const char kBlockStartKey[] = "KEYWORDLISTSTART";
const char kBlockEndKey[] = "KEYWORDLISTEND";

std::string Shown(std::string_view value) {
    if (value.size() <= kShownValueBytes) return std::string(value);
    size_t end = 0;
    while (end < kShownValueBytes) end += IsSJISLeadByte(static_cast<unsigned char>(value[end])) ? 2 : 1;
    return std::string(value.substr(0, end)) + "... (" + std::to_string(value.size()) + " bytes)";
}

std::string WithLine(const char* note, std::string_view detail, size_t lineNumber) {
    if (lineNumber == 0) return std::string(note) + std::string(detail);
    return std::string(note) + std::string(detail) + " (" + texts::kNoteLine + std::to_string(lineNumber) + ")";
}

std::string ConsoleLine(size_t lineNumber) {
    return lineNumber == 0 ? std::string() : " (line " + std::to_string(lineNumber) + ")";
}

// The number of the first line with the key, 0 when none has it.
size_t FirstLineWith(const TStringList& lines, std::string_view key) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (IniLineHasKey(lines[i], key)) return i + 1;
    }
    return 0;
}

bool IsComment(std::string_view line) {
    return !line.empty() && (line[0] == ';' || line[0] == '#' || line[0] == '[' || line.substr(0, 2) == "//");
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

const char* Reason(TProblemKind kind) {
    switch (kind) {
        case TProblemKind::LogNameOutside: return texts::kReasonLogNameOutside;
        case TProblemKind::LogCannotOpen: return texts::kReasonLogCannotOpen;
        case TProblemKind::PortNotNumber: return texts::kReasonPortNotNumber;
        case TProblemKind::PortRange: return texts::kReasonPortRange;
        case TProblemKind::StreamPortRange: return texts::kReasonStreamPortRange;
        case TProblemKind::SendersInvalid: return texts::kReasonSendersInvalid;
    }
    return "";
}

const char* ConsoleReason(TProblemKind kind) {
    switch (kind) {
        case TProblemKind::LogNameOutside:
            return "a log name must name a file inside the logs folder (no absolute path, no \".\" or \"..\", "
                   "no folder)";
        case TProblemKind::LogCannotOpen: return "the log file cannot be opened for append";
        case TProblemKind::PortNotNumber: return "the port is not a number";
        case TProblemKind::PortRange: return "the port must be 2 to 65534 (0, 1 and 65535 mean 514; -1: no instance)";
        case TProblemKind::StreamPortRange: return "the port must be 0 (none) to 65535";
        case TProblemKind::SendersInvalid: return "an entry is neither an address nor an address/prefix length";
    }
    return "";
}

}  // namespace

std::string StartProblemText(const TStartProblem& problem) {
    return texts::kCheckBadSetting + ("Syslog[" + std::to_string(problem.Instance) + "] ") + problem.Key + "=" +
           Shown(problem.Value) + ": " + Reason(problem.Kind) + platform::SystemErrorDetail(problem.Error);
}

std::string StartProblemConsoleText(const TStartProblem& problem) {
    return "instance " + std::to_string(problem.Instance) + " cannot start: " + problem.Key + "=" +
           Shown(problem.Value) + ": " + ConsoleReason(problem.Kind) + platform::SystemErrorDetail(problem.Error);
}

std::string InstanceKeyName(const char* name, int instance) {
    return instance == 1 ? std::string(name) : std::string(name) + std::to_string(instance);
}

bool LogNameStaysInside(std::string_view name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
    if (name.size() >= 2 && name[1] == ':') return false;  // a drive
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        // A trail byte may be a backslash, never a slash: the system splits
        // at every slash, whatever byte comes before it.
        if (i + 1 < name.size() && name[i + 1] != '/' && IsSJISLeadByte(static_cast<unsigned char>(name[i]))) {
            ++i;
            continue;
        }
        if (i < name.size() && name[i] != '/' && name[i] != '\\') continue;
        const std::string_view part = name.substr(start, i - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = i + 1;
    }
    return true;
}

void CheckLogFiles(int instance, const TSyslogService& service, std::vector<TStartProblem>& problems) {
    const struct {
        const char* key;
        const std::string& pattern;
    } files[] = {{"SYSLOGLOGNAME", service.Files.SystemLogName}, {"RECVLOGNAME", service.Files.RecvLogName}};
    for (const auto& file : files) {
        TStartProblem problem{instance, InstanceKeyName(file.key, instance), file.pattern,
                              TProblemKind::LogNameOutside, 0};
        if (!LogNameStaysInside(file.pattern)) {
            problems.push_back(problem);
            continue;
        }
        // Nothing is written: the open alone creates a missing file, with
        // the rights every later line finds.
        const std::string path = service.Files.LogsFolder + service.ExpandLogFileName(file.pattern);
        const int code = platform::AppendToFile(path, {});
        if (code == 0 || platform::AppendFailureOf(code) == platform::AppendFailure::Locked) continue;
        problem.Kind = TProblemKind::LogCannotOpen;
        problem.Error = code;
        problems.push_back(problem);
    }
}

namespace {

// The note on a line whose key no setting reads: an instance key past the
// tenth, or a key unknown altogether.
template <class Read>
TConfigNote UnreadKeyNote(std::string_view key, const Read& read, size_t lineNumber) {
    size_t digits = key.size();
    while (digits > 0 && IsDigit(key[digits - 1])) --digits;
    const std::string_view name = key.substr(0, digits);
    const std::string_view number = key.substr(digits);
    const bool instanceKey = !number.empty() && read(std::string(name) + "2=");
    const bool pastTenth = instanceKey && (number.size() > 2 || std::stoi(std::string(number)) > kLastInstance);
    const std::string shown = Shown(key);
    return {WithLine(pastTenth ? texts::kNoteInstancePastTenth : texts::kNoteUnknownKey, shown, lineNumber),
            (pastTenth ? "warning: " + shown + " ignored: there are at most ten instances"
                       : "warning: unknown key " + shown + " ignored") +
                ConsoleLine(lineNumber)};
}

}  // namespace

std::vector<TConfigNote> IniLineNotes(const TStringList& lines, const std::vector<std::string>& keysRead) {
    auto read = [&keysRead](std::string_view line) {
        for (const std::string& key : keysRead) {
            if (IniLineHasKey(line, key)) return true;
        }
        return false;
    };
    std::vector<TConfigNote> notes;
    size_t blockStart = 0;  // the line number of an open keyword block
    bool blockSeen = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        // The keywords are the first block only: a block appended further
        // down (the packaged file already ends with one) would be silently
        // ignored.
        if (IniLineHasKey(line, kBlockStartKey) && blockSeen) {
            notes.push_back({WithLine(texts::kNoteSecondKeywordBlock, kBlockStartKey, i + 1),
                             std::string("warning: ") + kBlockStartKey + " ignored: only the first keyword block is read" +
                                 ConsoleLine(i + 1)});
        }
        if (blockStart != 0) {
            if (IniLineHasKey(line, kBlockEndKey)) blockStart = 0;
            continue;
        }
        if (IniLineHasKey(line, kBlockStartKey)) {
            if (!blockSeen) blockStart = i + 1;
            blockSeen = true;
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || IsComment(line) || read(line)) continue;
        notes.push_back(UnreadKeyNote(std::string_view(line).substr(0, equals), read, i + 1));
    }
    if (blockStart != 0) {
        notes.push_back({WithLine(texts::kNoteKeywordBlockOpen, kBlockStartKey, blockStart),
                         std::string("warning: ") + kBlockStartKey + " without " + kBlockEndKey +
                             ": every later line was read as a keyword" + ConsoleLine(blockStart)});
    }
    return notes;
}

std::vector<TConfigNote> MailNotes(const TStringList& lines, bool haveKeywords, const std::string& mailServer,
                                   const std::string& mailTo, const std::string& mailFrom) {
    std::vector<TConfigNote> notes;
    if (!haveKeywords) return notes;
    if (mailServer.empty() || mailTo.empty()) {
        const std::string empty = mailServer.empty() ? (mailTo.empty() ? "MAILSERVER, MAILTO" : "MAILSERVER") : "MAILTO";
        const size_t line = FirstLineWith(lines, kBlockStartKey);
        notes.push_back({WithLine(texts::kNoteKeywordsWithoutMail, empty, line),
                         "warning: keywords are set" + ConsoleLine(line) + " but no alert mail is sent: empty " + empty +
                             " (mail needs both MAILSERVER and MAILTO)"});
    } else if (mailFrom.empty()) {
        const size_t line = FirstLineWith(lines, "MAILFROM=");
        notes.push_back({WithLine(texts::kNoteEmptyMailFrom, "MAILFROM", line),
                         "warning: MAILFROM is empty: alert mail goes out as MAIL FROM:<> and From: <>, which many "
                         "mail servers refuse" + ConsoleLine(line)});
    }
    return notes;
}

}  // namespace quorvel
