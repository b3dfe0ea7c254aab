#pragma once
// Socket handles are plain ints on every platform (a Winsock SOCKET fits the
// values the system hands out), so the interfaces read the same everywhere.

#include <cstdint>

namespace quorvel::platform {

constexpr int kNoSocket = -1;

// What a send or receive returns instead of a count when the call failed
// (LastSystemError tells why).
inline constexpr long kTransferFailed = -1;

// Owns one socket, TCP or UDP: the only place a socket is closed.
class SocketHandle {
public:
    SocketHandle() = default;
    explicit SocketHandle(int handle) : handle_(handle) {}
    ~SocketHandle() { Reset(); }
    SocketHandle(SocketHandle&& other) noexcept : handle_(other.Release()) {}
    SocketHandle& operator=(SocketHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int Get() const { return handle_; }
    bool Valid() const { return handle_ != kNoSocket; }
    int Release() {
        const int handle = handle_;
        handle_ = kNoSocket;
        return handle;
    }
    // Closes the socket held, if any, and holds `handle` instead.
    void Reset(int handle = kNoSocket);

private:
    int handle_ = kNoSocket;
};

// Binds a socket, TCP or UDP, to an IPv4 address with the first octet in the
// most significant byte (192.0.2.10 is 0xC000020A); 0 binds every local
// address, port 0 a free port. 0 or the error code.
int BindIPv4(int handle, uint32_t address, uint16_t port);

// The port a socket is bound to, or 0.
uint16_t BoundPort(int handle);

}  // namespace quorvel::platform
