#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/AddressInfo.h"

namespace quorvel::platform {

namespace {

int PollFor(int handle, short events, int seconds) {
    if (handle < 0) {
        errno = EBADF;
        return kWaitFailed;
    }
    if (seconds < 0) seconds = 0;
    const int ms = seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
    pollfd p{handle, events, 0};
    int rc = poll(&p, 1, ms);
    if (rc < 0) return kWaitFailed;
    // select marks a socket in error or hung up as ready; keep that meaning so
    // the following send/recv call reports the error.
    return rc > 0 && (p.revents & (events | POLLERR | POLLHUP)) != 0 ? kWaitReady : kWaitTimedOut;
}

}  // namespace

bool ParseIPv4Literal(const std::string& text, uint32_t& address) {
    if (text.find('\0') != std::string::npos) return false;
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    address = ntohl(a.s_addr);
    return true;
}

int ResolveIPv4(const std::string& name, uint32_t& address) {
    if (name.empty() || name.find('\0') != std::string::npos) return EAI_NONAME;
    return ResolveIPv4Of<addrinfo>(name, AF_INET, SOCK_STREAM, EAI_NONAME, getaddrinfo, freeaddrinfo, address);
}

int CreateTcpSocket(SocketHandle& socket) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    socket.Reset(fd);
    return 0;
}

const int kConnectTimedOut = ETIMEDOUT;
const int kConnectCancelled = ECANCELED;

int ConnectTcpWithin(int handle, uint32_t address, uint16_t port, int timeoutMs,
                     const std::atomic<bool>* cancel) {
    const int flags = fcntl(handle, F_GETFL);
    if (flags < 0 || fcntl(handle, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    int error = 0;
    if (connect(handle, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = errno;
        // EINTR leaves the connect going on in the background, as EINPROGRESS.
        if (error == EINPROGRESS || error == EINTR) {
            pollfd p{handle, POLLOUT, 0};
            int rc = 0;
            // In slices of a second, so that a cancel is seen in time.
            for (int left = timeoutMs < 0 ? 0 : timeoutMs;;) {
                if (cancel != nullptr && cancel->load()) break;
                const int slice = left < 1000 ? left : 1000;
                rc = poll(&p, 1, slice);
                if (rc < 0 && errno == EINTR) continue;
                left -= slice;
                if (rc != 0 || left <= 0) break;
            }
            socklen_t len = sizeof error;
            if (cancel != nullptr && cancel->load() && rc == 0) {
                error = ECANCELED;
            } else if (rc < 0) {
                error = errno;
            } else if (rc == 0) {
                error = ETIMEDOUT;
            } else if (getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
                error = errno;
            } else if (error == ECONNRESET || error == EPIPE) {
                // Connected, then reset before this look: the connect itself
                // succeeded, as a blocking one reports it; the next transfer
                // meets the reset.
                error = 0;
            }
        }
    }
    if (fcntl(handle, F_SETFL, flags) != 0 && error == 0) error = errno;
    return error;
}

int WaitReadable(int handle, int seconds) { return PollFor(handle, POLLIN, seconds); }

int WaitWritable(int handle, int seconds) { return PollFor(handle, POLLOUT, seconds); }

long SendSome(int handle, const char* data, std::size_t size) {
    ssize_t n;
    do {
        // MSG_NOSIGNAL: a peer that reset the connection must give EPIPE,
        // not a SIGPIPE that ends the whole server.
        n = send(handle, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? kTransferFailed : static_cast<long>(n);
}

long RecvSome(int handle, char* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = recv(handle, buffer, size, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? kTransferFailed : static_cast<long>(n);
}

int ShutdownTcpSocket(int handle) {
    // On a connect still in progress this aborts the connect as well.
    return shutdown(handle, SHUT_RDWR) == 0 ? 0 : errno;
}

std::string CanonicalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return CanonicalNameOf<addrinfo>(std::string(name, strnlen(name, sizeof name)), AF_INET, AI_CANONNAME,
                                     getaddrinfo, freeaddrinfo);
}

}  // namespace quorvel::platform
