#include "platform/SocketHandle.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel::platform {

void SocketTraits::Close(int handle) {
    // No retry on EINTR: on Linux the descriptor is released either way.
    close(handle);
}

int BindIPv4(int handle, uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    if (bind(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return errno;
    return 0;
}

uint16_t BoundPort(int handle) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(handle, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return 0;
}

}  // namespace quorvel::platform
