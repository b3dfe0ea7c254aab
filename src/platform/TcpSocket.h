#pragma once
// Outgoing IPv4 TCP connections for the mail client. Handles are plain ints
// owned by a SocketHandle; calls that do something return 0 or the system's
// error code, so the interface reads the same over BSD sockets and Winsock.
// Safe from any thread; one handle is used by one thread at a time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/SocketHandle.h"

namespace quorvel::platform {

// IPv4 addresses are held with the first octet in the most significant byte
// (192.0.2.10 is 0xC000020A), whatever the machine's byte order.

// Strict dotted-quad literal ("a.b.c.d", each 0..255); false for anything
// else, names included.
bool ParseIPv4Literal(const std::string& text, uint32_t& address);

// First IPv4 address of a host name. 0, or the resolver's error code. A
// name with a NUL byte inside never resolves.
int ResolveIPv4(const std::string& name, uint32_t& address);

// A blocking TCP stream socket into `socket`. 0 or the error code.
int CreateTcpSocket(SocketHandle& socket);

// Connect that gives up after timeoutMs with the system's time-out error
// (kConnectTimedOut), or within a second of *cancel becoming true
// (kConnectCancelled): neither closing nor shutting down a connecting socket
// from another thread reliably ends the wait. The socket is blocking again
// afterwards. 0 or the error code.
int ConnectTcpWithin(int handle, uint32_t address, uint16_t port, int timeoutMs,
                     const std::atomic<bool>* cancel = nullptr);
extern const int kConnectTimedOut;
extern const int kConnectCancelled;

// Answers of WaitReadable and WaitWritable. A socket with a pending error or
// a hung-up peer counts as ready, as select reports it.
inline constexpr int kWaitReady = 1;
inline constexpr int kWaitTimedOut = 0;
inline constexpr int kWaitFailed = -1;  // the wait itself failed (LastSystemError)
int WaitReadable(int handle, int seconds);
int WaitWritable(int handle, int seconds);

// One send call: bytes written, or kTransferFailed. Never raises SIGPIPE on a
// peer that has gone away; the error shows up as a failed send instead.
long SendSome(int handle, const char* data, std::size_t size);

// One recv call: bytes read, 0 when the peer closed, or kTransferFailed.
long RecvSome(int handle, char* buffer, std::size_t size);

// Safe from any thread while another waits on the socket: ends that wait at
// once (the socket reads as ready, the read or write that follows fails) and
// every later transfer. The handle stays valid until its owner closes it.
// 0 or the error code.
int ShutdownTcpSocket(int handle);

// The canonical (fully qualified) name of this machine, or the plain host
// name when the lookup finds nothing; empty when the system cannot tell.
std::string CanonicalHostName();

}  // namespace quorvel::platform
