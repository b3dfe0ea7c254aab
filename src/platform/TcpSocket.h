#pragma once
// Outgoing IPv4 TCP connections for the mail client. Handles are plain ints
// (-1 = none) and failures are returned as the system's error numbers, so the
// interface reads the same over BSD sockets and Winsock. Safe from any thread;
// one handle is used by one thread at a time.

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

// First IPv4 address of a host name. 0 on success, otherwise the resolver's
// error (non-zero). A name with a NUL byte inside never resolves.
int ResolveIPv4(const std::string& name, uint32_t& address);

// A blocking TCP stream socket, or kNoSocket (see LastSocketError).
int CreateTcpSocket();

// Blocking connect with the system's own time-out. 0 or the error number.
int ConnectTcp(int handle, uint32_t address, uint16_t port);
// Connect that gives up after timeoutMs with the system's time-out error
// (kConnectTimedOut), or within a second of *cancel becoming true
// (kConnectCancelled): neither closing nor shutting down a connecting socket
// from another thread reliably ends the wait. The socket is blocking again
// afterwards. 0 or the error number.
int ConnectTcpWithin(int handle, uint32_t address, uint16_t port, int timeoutMs,
                     const std::atomic<bool>* cancel = nullptr);
extern const int kConnectTimedOut;
extern const int kConnectCancelled;

// 1 when ready, 0 on time-out, -1 when the wait itself failed. A socket with
// a pending error or a hung-up peer counts as ready, as select reports it.
int WaitReadable(int handle, int seconds);
int WaitWritable(int handle, int seconds);

// One send call: bytes written, or -1. Never raises SIGPIPE on a peer that
// has gone away; the error shows up as -1 instead.
long SendSome(int handle, const char* data, std::size_t size);

// One recv call: bytes read, 0 when the peer closed, -1 on error.
long RecvSome(int handle, char* buffer, std::size_t size);

void CloseTcpSocket(int handle);

// Safe from any thread while another waits on the socket: ends that wait at
// once (the socket reads as ready, the read or write that follows fails) and
// every later transfer. The handle stays valid until CloseTcpSocket.
void ShutdownTcpSocket(int handle);

// The error number of the last failed call of this interface on this thread.
int LastSocketError();

// This machine's host name; empty when the system cannot tell.
std::string HostName();
// The canonical (fully qualified) name of this machine, or the plain host
// name when the lookup finds nothing.
std::string CanonicalHostName();

}  // namespace quorvel::platform
