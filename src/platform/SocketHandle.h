#pragma once
// Socket handles are plain ints on every platform (a Winsock SOCKET fits the
// values the system hands out), so the interfaces read the same everywhere.

#include <cstdint>

#include "platform/UniqueHandle.h"

namespace quorvel::platform {

constexpr int kNoSocket = -1;

// What a send or receive returns instead of a count when the call failed
// (LastSystemError tells why).
inline constexpr long kTransferFailed = -1;

struct SocketTraits {
    using Handle = int;
    static constexpr int Invalid() { return kNoSocket; }
    static void Close(int handle);  // the backend's only close of a socket
};
// Owns one socket, TCP or UDP.
using SocketHandle = UniqueHandle<SocketTraits>;

// Binds a socket, TCP or UDP, to an IPv4 address with the first octet in the
// most significant byte (192.0.2.10 is 0xC000020A); 0 binds every local
// address, port 0 a free port. 0 or the error code.
int BindIPv4(int handle, uint32_t address, uint16_t port);

// The port a socket is bound to, or 0.
uint16_t BoundPort(int handle);

}  // namespace quorvel::platform
