#pragma once
// Appending to a log file: the file is opened, locked when the lock is free,
// appended and closed for every chunk. Safe from any thread (each call opens its own file).

#include <string>
#include <string_view>

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

}  // namespace quorvel
