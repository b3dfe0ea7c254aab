#include "platform/SocketHandle.h"

#include "platform/win32/Winsock.h"

namespace quorvel::platform {

void SocketHandle::Reset(int handle) {
    if (handle_ >= 0) closesocket(win32::ToSocket(handle_));
    handle_ = handle;
}

}  // namespace quorvel::platform
