#include "platform/SocketHandle.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/Winsock.h"

namespace quorvel::platform {

void SocketTraits::Close(int handle) { closesocket(win32::ToSocket(handle)); }

int BindIPv4(int handle, uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    if (bind(win32::ToSocket(handle), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return WSAGetLastError();
    return 0;
}

uint16_t BoundPort(int handle) {
    sockaddr_storage a{};
    int len = sizeof a;
    if (getsockname(win32::ToSocket(handle), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return 0;
}

}  // namespace quorvel::platform
