#include "platform/SystemError.h"

#include <errno.h>
#include <string.h>

namespace quorvel::platform {

int LastErrorCode() { return errno; }

std::string ErrorText(int code) {
    char buffer[256] = {};
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return text ? std::string(text) : std::string();
}

}  // namespace quorvel::platform
