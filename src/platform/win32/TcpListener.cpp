#include "platform/TcpListener.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <utility>

#include "platform/win32/Winsock.h"

namespace quorvel::platform {

using win32::ToSocket;

namespace {

// Not inherited by programs we might start (the POSIX side sets CLOEXEC),
// and non-blocking: a readiness report whose data is gone by the time of
// the read must not block the worker.
int MakeOwnNonBlocking(SOCKET s) {
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    return ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ? WSAGetLastError() : 0;
}

}  // namespace

int OpenTcpListener(const BindAddress& address, SocketHandle& socket, const char** step) {
    const char* ignored = nullptr;
    if (step == nullptr) step = &ignored;
    *step = "socket";
    if (address.SockAddr.empty() || address.SockAddr.size() > static_cast<std::size_t>(INT_MAX)) return WSAEINVAL;
    const int domain = address.Family == kFamilyIPv6 ? AF_INET6 : AF_INET;
    SocketHandle owned;
    if (const int error = win32::OpenSocket(domain, SOCK_STREAM, IPPROTO_TCP, owned); error != 0) return error;
    const SOCKET s = ToSocket(owned.Get());
    DWORD on = 1;
    if (domain == AF_INET6 &&
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        return WSAGetLastError();
    }
    // Windows lets a second SO_REUSEADDR socket take over a bound port; the
    // exclusive use refuses that, and binds despite TIME_WAIT all the same.
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    if (const int error = MakeOwnNonBlocking(s); error != 0) return error;
    *step = "bind";
    if (bind(s, reinterpret_cast<const sockaddr*>(address.SockAddr.data()), static_cast<int>(address.SockAddr.size())) !=
        0) {
        return WSAGetLastError();
    }
    *step = "listen";
    if (listen(s, kListenBacklog) != 0) return WSAGetLastError();
    socket = std::move(owned);
    return 0;
}

int AcceptTcp(int listener, SocketHandle& connection, SenderAddress& peer) {
    sockaddr_storage from{};
    int length = sizeof from;
    const SOCKET s = accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&from), &length);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    if (s > static_cast<SOCKET>(INT_MAX)) {
        closesocket(s);
        return WSAEMFILE;
    }
    connection.Reset(static_cast<int>(s));
    // An accepted socket takes over the listener's WSAAsyncSelect events
    // (FD_ACCEPT); the connection's own registration replaces them.
    if (const int error = MakeOwnNonBlocking(s); error != 0) return error;
    DWORD on = 1;
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    peer = SenderAddress{};
    win32::ReadSenderAddress(from, length, peer);
    return 0;
}

long ReadStream(int handle, char* buffer, std::size_t size) {
    const int n = recv(ToSocket(handle), buffer, size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size), 0);
    return n == SOCKET_ERROR ? kTransferFailed : n;
}

bool WouldBlock(int code) { return code == WSAEWOULDBLOCK; }

}  // namespace quorvel::platform
