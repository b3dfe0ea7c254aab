#pragma once
// Socket handles are plain ints on every platform (a Winsock SOCKET fits the
// values the system hands out), so the interfaces read the same everywhere.

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

}  // namespace quorvel::platform
