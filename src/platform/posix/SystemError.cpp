#include "platform/SystemError.h"

#include <errno.h>

namespace quorvel::platform {

int LastErrorCode() { return errno; }

}  // namespace quorvel::platform
