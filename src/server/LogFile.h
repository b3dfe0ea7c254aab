#pragma once
// Appending one line to a log file: the file is opened exclusively, appended
// and closed for every line. Safe from any thread (each call opens its own file).

#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/FileAppend.h"

namespace quorvel {

// Attempts while another process holds the file, with a pause after each.
constexpr int kAppendAttempts = 101;
constexpr int kAppendRetryMilliseconds = 500;

// The file was opened but the line could not be written (a full disk, for
// example). The file keeps its former length where the system allows it.
class TLogWriteError : public std::system_error {
public:
    TLogWriteError(const std::string& path, int code);
    // The system's error number.
    int Code() const { return code().value(); }
    const char* what() const noexcept override { return text_.what(); }

private:
    std::runtime_error text_;  // "cannot write to <path> (error <code>)"
};

// The path is no file the server writes to (a symbolic link, a folder, a
// special file, a name the system rejects): nothing was written, and no
// later attempt would change that.
class TLogRefusedError : public TLogWriteError {
public:
    using TLogWriteError::TLogWriteError;
};

// One exclusive append of bytes without waiting; a missing folder is made
// once and the append tried again. 0, or the system's error code of the
// append (NoFolder when the folder cannot be made).
int AppendOnce(const std::string& path, std::string_view bytes);

// Appends text and CR LF. True when the whole line is in the file; false when
// the file stayed locked by another process through every attempt, or its
// folder could not be made. Throws TLogWriteError when the write itself fails
// and TLogRefusedError, at once, when the path is refused.
bool AppendLine(const std::string& path, std::string_view text);

// The same with the given line end, which may be empty.
bool AppendText(const std::string& path, std::string_view text, std::string_view lineEnd);

}  // namespace quorvel
