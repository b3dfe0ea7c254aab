#include "platform/TcpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>

#include "platform/win32/Winsock.h"

#include "platform/AddressInfo.h"

namespace quorvel::platform {

namespace {

using win32::ToSocket;

int SelectFor(int handle, bool forWrite, int seconds) {
    if (handle < 0) {
        WSASetLastError(WSAENOTSOCK);
        return kWaitFailed;
    }
    if (seconds < 0) seconds = 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(ToSocket(handle), &set);
    // A failed connect shows on Windows in the exception set, not the write
    // set; watching it too keeps the POSIX meaning "ready, the next call
    // reports the error".
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(ToSocket(handle), &errors);
    timeval tv{seconds, 0};
    const int rc = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &tv);
    if (rc == SOCKET_ERROR) return kWaitFailed;
    return rc > 0 ? kWaitReady : kWaitTimedOut;
}

}  // namespace

bool ParseIPv4Literal(const std::string& text, uint32_t& address) {
    if (text.find('\0') != std::string::npos) return false;
    // inet_pton, unlike inet_addr, refuses the short and octal forms ("1.2",
    // "010.0.0.1"), as the POSIX build does.
    if (!win32::EnsureWinsock()) return false;
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    address = ntohl(a.s_addr);
    return true;
}

int ResolveIPv4(const std::string& name, uint32_t& address) {
    if (name.empty() || name.find('\0') != std::string::npos) return EAI_NONAME;
    if (!win32::EnsureWinsock()) return WSANOTINITIALISED;
    return ResolveIPv4Of<addrinfo>(name, AF_INET, SOCK_STREAM, EAI_NONAME, getaddrinfo, freeaddrinfo, address);
}

int CreateTcpSocket(SocketHandle& socket) {
    // WSASocket without WSA_FLAG_OVERLAPPED would do too; socket() gives an
    // overlapped-capable handle, which select and blocking calls accept.
    const int error = win32::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, socket);
    if (error != 0) return error;
    // Not inherited by programs we might start (the POSIX side sets CLOEXEC).
    SetHandleInformation(reinterpret_cast<HANDLE>(ToSocket(socket.Get())), HANDLE_FLAG_INHERIT, 0);
    return 0;
}

const int kConnectTimedOut = WSAETIMEDOUT;
const int kConnectCancelled = WSAECANCELLED;

int ConnectTcpWithin(int handle, uint32_t address, uint16_t port, int timeoutMs,
                     const std::atomic<bool>* cancel) {
    const SOCKET s = ToSocket(handle);
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(address);
    int error = 0;
    if (connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            int rc = 0;
            // In slices of a second, so that a cancel is seen in time.
            for (int left = timeoutMs < 0 ? 0 : timeoutMs;;) {
                if (cancel != nullptr && cancel->load()) break;
                const int slice = left < 1000 ? left : 1000;
                // A refused connect shows in the exception set, not the write set.
                fd_set writable, failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(s, &writable);
                FD_SET(s, &failed);
                timeval tv{0, slice * 1000};
                rc = select(0, nullptr, &writable, &failed, &tv);
                left -= slice;
                if (rc != 0 || left <= 0) break;
            }
            int len = sizeof error;
            if (cancel != nullptr && cancel->load() && rc == 0) {
                error = WSAECANCELLED;
            } else if (rc == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (rc == 0) {
                error = WSAETIMEDOUT;
            } else if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) {
                error = WSAGetLastError();
            }
        }
    }
    u_long blocking = 0;
    if (ioctlsocket(s, FIONBIO, &blocking) != 0 && error == 0) error = WSAGetLastError();
    return error;
}

int WaitReadable(int handle, int seconds) { return SelectFor(handle, false, seconds); }

int WaitWritable(int handle, int seconds) { return SelectFor(handle, true, seconds); }

long SendSome(int handle, const char* data, std::size_t size) {
    // Winsock never raises a signal for a reset peer; send just fails.
    const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    const int n = send(ToSocket(handle), data, chunk, 0);
    return n == SOCKET_ERROR ? kTransferFailed : n;
}

long RecvSome(int handle, char* buffer, std::size_t size) {
    const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    const int n = recv(ToSocket(handle), buffer, chunk, 0);
    return n == SOCKET_ERROR ? kTransferFailed : n;
}

int ShutdownTcpSocket(int handle) {
    return shutdown(ToSocket(handle), SD_BOTH) == 0 ? 0 : WSAGetLastError();
}

std::string CanonicalHostName() {
    if (!win32::EnsureWinsock()) return {};
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return CanonicalNameOf<addrinfo>(std::string(name, strnlen(name, sizeof name)), AF_INET, AI_CANONNAME,
                                     getaddrinfo, freeaddrinfo);
}

}  // namespace quorvel::platform
