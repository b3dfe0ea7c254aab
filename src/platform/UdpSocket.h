#pragma once
// UDP listener sockets of the syslog instances. Handles are plain ints owned
// by a SocketHandle, calls that do something return 0 or the system's error
// code, addresses are raw bytes, so the interface reads the same over BSD
// sockets and Winsock.
// Safe from any thread; one handle is used by one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SocketHandle.h"

namespace quorvel::platform {

constexpr int kFamilyIPv4 = 4;
constexpr int kFamilyIPv6 = 6;

// What LoadAddressResolver found of the system's address resolution.
enum class ResolverStatus {
    Loaded,          // getaddrinfo and freeaddrinfo are both there
    NoLibrary,       // their library cannot be loaded
    NoFreeAddrInfo,  // freeaddrinfo is missing
    NoGetAddrInfo,   // getaddrinfo is missing
};

// Looks up getaddrinfo and freeaddrinfo. Windows finds them in ws2_32.dll at
// run time; POSIX systems always have them.
ResolverStatus LoadAddressResolver();
// Releases what LoadAddressResolver loaded.
void UnloadAddressResolver();

// One local address to bind, as the system's socket address structure.
struct BindAddress {
    int Family = 0;                     // kFamilyIPv4 or kFamilyIPv6
    std::vector<unsigned char> SockAddr;  // what bind takes, with its length
};

// Passive resolution of (node, service) for a UDP listener: datagram sockets,
// UDP, any family; an empty node means every local address. The addresses in
// the resolver's order. 0, or the resolver's error (non-zero).
int ResolvePassive(const std::string& node, const std::string& service, std::vector<BindAddress>& addresses);

// The system's English text for an error of ResolvePassive.
std::string ResolveErrorText(int code);

// The numeric address of a bind address ("192.0.2.10", "2001:db8::1"),
// without the port.
std::string BindAddressText(const BindAddress& address);

// A non-blocking UDP socket of the family into `socket`: 0 or the error code.
// An IPv6 socket is IPv6-only, so that the IPv4 and IPv6 wildcard sockets of
// one port can be bound side by side.
int CreateUdpSocket(int family, SocketHandle& socket);

// 0, or the error number.
int BindUdp(int handle, const BindAddress& address);

// The address a datagram came from. Bytes holds 4 bytes for IPv4 and 16 for
// IPv6 (network order); all zero when the system delivered no sender.
struct SenderAddress {
    int Family = 0;
    std::array<unsigned char, 16> Bytes{};
};

// One slot of a batch read: the caller's buffer, and what arrived in it.
struct DatagramSlot {
    char* Buffer = nullptr;   // set by the caller
    std::size_t Size = 0;     // its capacity, set by the caller
    long Count = 0;           // bytes of the datagram
    bool Truncated = false;   // longer than Size: dropped whole (Count 0), never cut
    SenderAddress Sender;
};

struct BatchResult {
    int Filled = 0;               // slots filled, in arrival order
    int Error = 0;                // the error code when nothing was filled
    bool NothingWaiting = false;  // nothing was filled because nothing was queued
    bool HaveDropCount = false;   // DropCount holds the system's figure
    uint32_t DropCount = 0;       // datagrams the system dropped on the socket so far (wraps)
};

// The most datagrams one batch read takes: enough to make the per-read cost
// vanish, few enough that one busy socket soon gives the others their turn.
constexpr int kMaxBatch = 64;

// Reads up to count (at most kMaxBatch) datagrams that are already queued,
// without waiting: one system call on Linux (recvmmsg), reads until the queue
// is empty elsewhere. An error after the first datagram ends the batch and
// shows again on the next read.
BatchResult ReceiveDatagrams(int handle, DatagramSlot* slots, int count);

// Asks for a receive buffer of the given size, beyond the system's usual cap
// where the process is allowed to (Linux as root); the size granted, as the
// system reports it, or 0 when it does not say.
int SetReceiveBuffer(int handle, int bytes);

// Makes batch reads report the system's count of datagrams dropped on the
// socket for want of buffer room; false where the system keeps no such count.
bool EnableDropCount(int handle);
// The same running count (it wraps at 2^32), read without waiting for a
// datagram to carry it: drops in a burst that nothing follows are otherwise
// never told. -1 where the system will not say.
long long DropCountNow(int handle);

// One datagram to the address: bytes sent, or kTransferFailed.
long SendDatagram(int handle, const BindAddress& to, const char* data, std::size_t size);

// The system's message-too-long error code (EMSGSIZE, WSAEMSGSIZE).
int MessageTooLongError();

}  // namespace quorvel::platform
