#include "platform/SystemError.h"

#include <errno.h>
#include <string.h>

namespace quorvel::platform {

int LastSystemError() { return errno; }

std::string SystemErrorText(int code) {
    // The program never calls setlocale: strerror answers in the C
    // locale's English. The GNU strerror_r returns its text, which may or
    // may not be the buffer.
    char buffer[256] = {};
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text != nullptr && *text != '\0' ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace quorvel::platform
