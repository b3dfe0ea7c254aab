#pragma once
// Text for the user on standard error (Windows backends only).

#include <string>

namespace quorvel::platform::win32 {

// Writes Shift_JIS text to standard error: through the console's wide
// output when stderr is a console (right whatever its code page), as UTF-8
// bytes when it is a file or a pipe (what the POSIX build writes).
void WriteError(const std::string& sjis);

}  // namespace quorvel::platform::win32
