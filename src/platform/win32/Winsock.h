#pragma once
// Process-wide Winsock start-up for the Windows backends (not part of the
// platform interface: POSIX sockets need no such step).

namespace quorvel::platform::win32 {

// Starts Winsock 2.2 once per process, on first use from any thread; the
// matching WSACleanup runs at process exit. True when Winsock is usable.
bool EnsureWinsock();

}  // namespace quorvel::platform::win32
