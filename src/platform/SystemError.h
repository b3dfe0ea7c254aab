#pragma once
// The calling thread's last system error code (errno, GetLastError), and
// the system's text for a code. The platform calls that act return 0 or the
// system's error code; those that produce a value (a count, an object)
// return it, or -1 or null with the code in LastSystemError().

#include <string>

namespace quorvel::platform {

int LastSystemError();

// The system's English text for an error code (errno, GetLastError or a
// Winsock code), whatever the user's locale; "error <code>" when the
// system has none.
std::string SystemErrorText(int code);
// " (error <code>: <text>)", the form every log line gives a code in; empty
// for 0.
std::string SystemErrorDetail(int code);

// The error code of the exception being handled: its own for a
// std::system_error, otherwise the thread's last system error. Call inside a
// catch block only. Lives here rather than in util/ because of that
// fallback, a system call.
int CurrentExceptionCode();

}  // namespace quorvel::platform
