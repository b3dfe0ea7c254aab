#pragma once
// The server side of a test TCP connection, which the platform interface
// (a client's) lacks: listen on a loopback port, accept, abortive close.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/SocketHandle.h"

namespace quorvel::test {

// A listening socket on 127.0.0.1 and a free port; not Valid on failure.
inline platform::SocketHandle ListenLoopback(uint16_t& port) {
    platform::SocketHandle s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (!s.Valid() || ::bind(s.Get(), reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(s.Get(), 4) != 0 ||
        ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return {};
    port = ntohs(sa.sin_port);
    return s;
}

inline platform::SocketHandle AcceptClient(int listener) {
    return platform::SocketHandle(::accept(listener, nullptr, nullptr));
}

// Closing the socket then resets the connection: the peer's next writes fail.
inline void SetAbortiveClose(int s) {
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

inline void ShutdownSending(int s) { ::shutdown(s, SHUT_WR); }

}  // namespace quorvel::test
