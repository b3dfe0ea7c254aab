#pragma once
// The server side of a test TCP connection over Winsock; see
// tests/posix/LoopbackListener.h.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "platform/TcpSocket.h"

namespace quorvel::test {

inline SOCKET Raw(int handle) { return static_cast<SOCKET>(static_cast<unsigned>(handle)); }

inline platform::SocketHandle ListenLoopback(uint16_t& port) {
    // The platform's own socket call starts Winsock for the process.
    platform::SocketHandle s;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (platform::CreateTcpSocket(s) != 0 || ::bind(Raw(s.Get()), reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
        ::listen(Raw(s.Get()), 4) != 0 || ::getsockname(Raw(s.Get()), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return {};
    port = ntohs(sa.sin_port);
    return s;
}

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
