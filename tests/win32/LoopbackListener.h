#pragma once
// The server side of a test TCP connection over Winsock; see
// tests/posix/LoopbackListener.h.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "platform/TcpSocket.h"

namespace quorvel::test {

inline int ListenLoopback(uint16_t& port) {
    // The platform's own socket call starts Winsock for the process.
    const int handle = platform::CreateTcpSocket();
    const SOCKET s = static_cast<SOCKET>(static_cast<unsigned>(handle));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (handle == platform::kNoSocket || ::bind(s, reinterpret_cast<sockaddr*>(&sa), len) != 0 ||
        ::listen(s, 4) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        platform::CloseTcpSocket(handle);
        return -1;
    }
    port = ntohs(sa.sin_port);
    return handle;
}

inline int AcceptClient(int listener) {
    const SOCKET c = ::accept(static_cast<SOCKET>(static_cast<unsigned>(listener)), nullptr, nullptr);
    return c == INVALID_SOCKET ? -1 : static_cast<int>(c);
}

inline void ResetConnection(int handle) {
    const SOCKET s = static_cast<SOCKET>(static_cast<unsigned>(handle));
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    ::closesocket(s);
}

inline void ShutdownSending(int handle) { ::shutdown(static_cast<SOCKET>(static_cast<unsigned>(handle)), SD_SEND); }

}  // namespace quorvel::test
