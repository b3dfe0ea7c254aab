#pragma once
// Appending to a log file: the file is opened exclusively, appended and
// closed for every chunk. Safe from any thread (each call opens its own file).

#include <string>
#include <string_view>

#include "platform/FileAppend.h"

namespace quorvel {

// Attempts while another process holds the file, with a pause after each.
constexpr int kAppendAttempts = 101;
constexpr int kAppendRetryMilliseconds = 500;

// One exclusive append of bytes without waiting; a missing folder is made
// once and the append tried again. 0, or the system's error code of the
// append (NoFolder when the folder cannot be made).
int AppendOnce(const std::string& path, std::string_view bytes);

}  // namespace quorvel
