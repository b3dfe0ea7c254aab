#pragma once
// What the server checks before it starts: log names that stay inside the
// logs folder, log files that open for append, and the notes on ini lines
// that no setting reads. Pure except CheckLogFiles, which opens the files.

#include <string>
#include <string_view>
#include <vector>

#include "util/DInifile.h"

namespace quorvel {

class TSyslogService;

// What is wrong with a setting that keeps the server from starting.
enum class TProblemKind { LogNameOutside, LogCannotOpen, PortNotNumber, PortRange, StreamPortRange, SendersInvalid };

struct TStartProblem {
    int Instance = 0;     // 1 to 10
    std::string Key;      // as the ini file names it, without "="
    std::string Value;    // as written, or the default in force
    TProblemKind Kind = TProblemKind::LogNameOutside;
    int Error = 0;        // the system's error code; 0 when none applies
};

// The text of a start problem for the operation log and the system log
// (Shift_JIS).
std::string StartProblemText(const TStartProblem& problem);
// The same in plain English for the console line ("instance n cannot
// start: ..."); the value passes through as its bytes.
std::string StartProblemConsoleText(const TStartProblem& problem);

// Instance 1 uses the bare key, instance n the key followed by n (no "=").
std::string InstanceKeyName(const char* name, int instance);

// True when a log-name pattern names a file inside the logs folder: not
// empty, not absolute, no drive, no "." or ".." part, no part left empty
// (a name that ends in a separator names a folder). "/" and "\" both count
// as separators; a Shift_JIS trail byte that is a backslash does not.
bool LogNameStaysInside(std::string_view name);

// Checks both log names of an instance and opens both files (as named
// today) for append, creating them when missing; adds a problem for each
// that fails. A file another process holds locked counts as writable.
void CheckLogFiles(int instance, const TSyslogService& service, std::vector<TStartProblem>& problems);

// A note on the configuration, written once at start: to the operation log
// and, in plain English, to standard error.
struct TConfigNote {
    std::string Text;     // Shift_JIS, for the operation log
    std::string Console;  // "warning: ...", for standard error; empty: the log only
};

// Notes, each with its line number, on the lines that change nothing
// although they look meant to: a key no setting reads, an instance key past
// the tenth, a keyword block that never ends, a keyword block after the
// first. keysRead are the keys the configuration read looked up (TIniKeyLog).
std::vector<TConfigNote> IniLineNotes(const TStringList& lines, const std::vector<std::string>& keysRead);

// Notes on mail settings that quietly keep alerts from going out, or from
// being accepted: keywords while MAILSERVER or MAILTO is empty, an empty
// MAILFROM while mail is on.
std::vector<TConfigNote> MailNotes(const TStringList& lines, bool haveKeywords, const std::string& mailServer,
                                   const std::string& mailTo, const std::string& mailFrom);

}  // namespace quorvel
