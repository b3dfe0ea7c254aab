#pragma once
// Owner of one POSIX descriptor (backend-internal). A socket is a descriptor
// like any other here, so the socket owner serves files, epoll and timers.

#include "platform/SocketHandle.h"

namespace quorvel::platform {

using UniqueFd = SocketHandle;

}  // namespace quorvel::platform
