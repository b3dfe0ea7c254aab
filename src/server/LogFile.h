#pragma once
// Appending to a log file, and the names and stamps its lines carry: the
// file is opened, locked when the lock is free, appended and closed for
// every chunk. Safe from any thread (each call opens its own file; the rest
// is pure).

#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/FileAppend.h"

namespace quorvel {

// Attempts while another process keeps the file from being opened, with a
// pause after each.
constexpr int kAppendAttempts = 101;
constexpr int kAppendRetryMilliseconds = 500;
// How long a lock that another process holds is waited for before the lines
// go in without it, and how often it is looked at meanwhile.
constexpr int kLockWaitMilliseconds = 1000;
constexpr int kLockPollMilliseconds = 50;

// One append of bytes without waiting (AppendToFile); a missing folder is
// made once and the append tried again. 0, or the system's error code of the
// append (NoFolder when the folder cannot be made).
int AppendOnce(const std::string& path, std::string_view bytes,
               platform::AppendLock lock = platform::AppendLock::Required, bool* lockSkipped = nullptr);

// Appends the pattern with %Y, %M and %D (either letter case) replaced by
// the year, the two-digit month and the two-digit day.
void AppendExpandedName(std::string& out, std::string_view pattern, const platform::LocalTime& now);
// folder (given the trailing separator it lacks) and the expanded pattern.
// The line's own clock reading names the file, so a line stamped just
// before midnight never lands in the next day's file.
void BuildLogPath(std::string& path, const std::string& folder, std::string_view pattern,
                  const platform::LocalTime& now);

// yyyy/mm/dd
std::string DateText(const platform::LocalTime& t);
// hh:mm:ss.mmm
std::string TimeText(const platform::LocalTime& t);

}  // namespace quorvel
