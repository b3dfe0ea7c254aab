#pragma once
// The calling thread's last system error code (errno, GetLastError), and
// the system's text for a code.

#include <string>

namespace quorvel::platform {

int LastSystemError();

// The system's English text for an error code (errno, GetLastError or a
// Winsock code), whatever the user's locale; "error <code>" when the
// system has none.
std::string SystemErrorText(int code);

}  // namespace quorvel::platform
