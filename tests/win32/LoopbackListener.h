#pragma once
// The server side of a test TCP connection over Winsock; see
// tests/posix/LoopbackListener.h.

#include <winsock2.h>

#include "platform/SocketHandle.h"

namespace quorvel::test {

inline SOCKET Raw(int handle) { return static_cast<SOCKET>(static_cast<unsigned>(handle)); }

inline int Listen(int s) { return ::listen(Raw(s), 4); }

inline platform::SocketHandle AcceptClient(int listener) {
    const SOCKET c = ::accept(Raw(listener), nullptr, nullptr);
    return platform::SocketHandle(c == INVALID_SOCKET ? platform::kNoSocket : static_cast<int>(c));
}

inline void SetAbortiveClose(int s) {
    linger l{1, 0};
    ::setsockopt(Raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

inline void ShutdownSending(int s) { ::shutdown(Raw(s), SD_SEND); }

}  // namespace quorvel::test
