#pragma once
// The server side of a test TCP connection, which the platform interface
// (a client's) lacks: listen on a loopback port, accept, abortive close.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace quorvel::test {

// A listening socket on 127.0.0.1 and a free port, or -1.
inline int ListenLoopback(uint16_t& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        if (s >= 0) ::close(s);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return s;
}

inline int AcceptClient(int listener) { return ::accept(listener, nullptr, nullptr); }

// The peer's next writes meet a reset.
inline void ResetConnection(int s) {
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(s);
}

inline void ShutdownSending(int s) { ::shutdown(s, SHUT_WR); }

}  // namespace quorvel::test
