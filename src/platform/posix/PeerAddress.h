#pragma once
// A datagram's sender or a connection's peer, from the address the system
// gives (backend-internal).

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/UdpSocket.h"

namespace quorvel::platform {

// Another family leaves the address as it was.
inline void ReadPeer(const sockaddr_storage& from, SenderAddress& peer) {
    if (from.ss_family == AF_INET) {
        peer.Family = kFamilyIPv4;
        std::memcpy(peer.Bytes.data(), &reinterpret_cast<const sockaddr_in&>(from).sin_addr, 4);
    } else if (from.ss_family == AF_INET6) {
        peer.Family = kFamilyIPv6;
        std::memcpy(peer.Bytes.data(), &reinterpret_cast<const sockaddr_in6&>(from).sin6_addr, 16);
    }
}

}  // namespace quorvel::platform
