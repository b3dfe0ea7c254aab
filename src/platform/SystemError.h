#pragma once
// The calling thread's last system error code (errno, GetLastError).

#include <string>

namespace quorvel::platform {

int LastErrorCode();
// The system's own words for an error code (ASCII on POSIX, the system's
// code page on Windows). Safe from any thread.
std::string ErrorText(int code);

}  // namespace quorvel::platform
