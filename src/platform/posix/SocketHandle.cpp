#include "platform/SocketHandle.h"

#include <unistd.h>

namespace quorvel::platform {

void SocketHandle::Reset(int handle) {
    // No retry on EINTR: on Linux the descriptor is released either way.
    if (handle_ >= 0) close(handle_);
    handle_ = handle;
}

}  // namespace quorvel::platform
