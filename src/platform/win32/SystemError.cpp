#include "platform/SystemError.h"

#include <windows.h>

namespace quorvel::platform {

int LastErrorCode() { return static_cast<int>(GetLastError()); }

}  // namespace quorvel::platform
