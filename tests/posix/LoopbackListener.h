#pragma once
// The server side of a test TCP connection, which the platform interface
// (a client's) lacks: listen, accept, abortive close, half close.

#include <sys/socket.h>

#include "platform/SocketHandle.h"

namespace quorvel::test {

inline int Listen(int s) { return ::listen(s, 4); }

inline platform::SocketHandle AcceptClient(int listener) {
    return platform::SocketHandle(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// Closing the socket then resets the connection: the peer's next writes fail.
inline void SetAbortiveClose(int s) {
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

inline void ShutdownSending(int s) { ::shutdown(s, SHUT_WR); }

}  // namespace quorvel::test
