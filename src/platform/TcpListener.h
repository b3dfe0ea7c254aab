#pragma once
// Listening TCP sockets and the connections they accept, for stream
// reception. Non-blocking throughout: readiness comes through the worker's
// MessageQueue (kSocketAccept on a listener, kSocketRead on a connection),
// and a call that would wait says so instead. Handles are plain ints owned
// by a SocketHandle; calls that do something return 0 or the system's error
// code, as UdpSocket.h does.
// Safe from any thread; one handle is used by one thread at a time.

#include <cstddef>
#include <cstdint>

#include "platform/SocketHandle.h"
#include "platform/UdpSocket.h"

namespace quorvel::platform {

// Connections the system keeps waiting for an accept.
constexpr int kListenBacklog = 128;

// The same address with another port: one resolution serves the UDP, TCP
// and TLS ports of an instance.
BindAddress WithPort(const BindAddress& address, uint16_t port);

// A listening socket bound to the address (from ResolvePassive): IPv6-only
// for an IPv6 address, as the UDP sockets, and with the address reusable at
// once after a restart (connections of the last run may linger in
// TIME_WAIT). Into `socket`; 0 or the error code. *step names the call
// that failed ("socket", "bind", "listen").
int OpenTcpListener(const BindAddress& address, SocketHandle& socket, const char** step);

// One waiting connection: 0 with the non-blocking socket and its peer, or
// the error code (WouldBlock(code) when none is waiting). Keep-alive probes
// are on, so that a peer that vanished (power, cable) frees its connection:
// after 10 minutes of silence on Linux, after the system's 2 hours on
// Windows.
int AcceptTcp(int listener, SocketHandle& connection, SenderAddress& peer);

// One read: bytes read (> 0), 0 when the peer closed, or kTransferFailed
// (LastSystemError(); WouldBlock when nothing is there now).
long ReadStream(int handle, char* buffer, std::size_t size);

// True for the error code of a call that would have had to wait.
bool WouldBlock(int code);

}  // namespace quorvel::platform
