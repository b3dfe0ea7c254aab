#pragma once
// Process-wide Winsock start-up and the socket helpers the Windows backends
// share (not part of the platform interface: POSIX sockets need no such step).

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/SocketHandle.h"
#include "platform/UdpSocket.h"

namespace quorvel::platform::win32 {

// Starts Winsock 2.2 once per process, on first use from any thread; the
// matching WSACleanup runs at process exit. True when Winsock is usable.
bool EnsureWinsock();

// The interface keeps handles as ints. A SOCKET is pointer-sized, but its
// values are kernel handle numbers that stay far below INT_MAX (OpenSocket
// refuses any other), so the round trip through int loses nothing.
inline SOCKET ToSocket(int handle) { return static_cast<SOCKET>(static_cast<unsigned int>(handle)); }

// A new socket into `socket`: 0, or the Winsock error code.
int OpenSocket(int domain, int type, int protocol, SocketHandle& socket);

// The sender of a datagram or the peer of a connection: sets the family and
// the bytes of an IPv4 or IPv6 address of `length` bytes; anything else
// leaves sender as it was.
void ReadSenderAddress(const sockaddr_storage& from, int length, SenderAddress& sender);

}  // namespace quorvel::platform::win32
