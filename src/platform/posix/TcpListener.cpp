#include "platform/TcpListener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

#include "platform/posix/SenderAddress.h"

namespace quorvel::platform {

int OpenTcpListener(const BindAddress& address, SocketHandle& socket, const char** step) {
    const char* ignored = nullptr;
    if (step == nullptr) step = &ignored;
    *step = "socket";
    if (address.SockAddr.empty()) return EINVAL;
    const int domain = address.Family == kFamilyIPv6 ? AF_INET6 : AF_INET;
    SocketHandle fd(::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd.Valid()) return errno;
    int on = 1;
    if (domain == AF_INET6 && setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) return errno;
    // Only the TIME_WAIT of earlier connections is passed over; a live
    // listener on the port still makes the bind fail (unlike Windows'
    // SO_REUSEADDR, which is why the Windows side does not set it).
    if (setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return errno;
    *step = "bind";
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(address.SockAddr.data()),
             static_cast<socklen_t>(address.SockAddr.size())) != 0) {
        return errno;
    }
    *step = "listen";
    if (listen(fd.Get(), kListenBacklog) != 0) return errno;
    socket = std::move(fd);
    return 0;
}

int AcceptTcp(int listener, SocketHandle& connection, SenderAddress& peer) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    int fd;
    do {
        fd = accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    connection.Reset(fd);
    int on = 1, idle = 600, interval = 60, probes = 5;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    peer = SenderAddress{};
    ReadSenderAddress(from, peer);
    return 0;
}

long ReadStream(int handle, char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = recv(handle, buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? kTransferFailed : static_cast<long>(n);
}

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

}  // namespace quorvel::platform
