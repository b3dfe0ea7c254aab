#pragma once
#include <string>

// Where the program lives. Safe from any thread.

namespace quorvel::platform {

// The platform's folder separator ('/' on POSIX, '\\' on Windows).
char PathSeparator();

// Full path of the running executable as the system reports it, or empty
// when the system cannot tell.
std::string ExecutablePath();

}  // namespace quorvel::platform
