#pragma once
// The sender of a datagram or a connection, read from the system's address
// (backend-internal).

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/UdpSocket.h"

namespace quorvel::platform {

// Sets the family and the bytes of an IPv4 or IPv6 address; any other
// family leaves sender as it was.
inline void ReadSenderAddress(const sockaddr_storage& from, SenderAddress& sender) {
    if (from.ss_family == AF_INET) {
        sender.Family = kFamilyIPv4;
        std::memcpy(sender.Bytes.data(), &reinterpret_cast<const sockaddr_in&>(from).sin_addr, 4);
    } else if (from.ss_family == AF_INET6) {
        sender.Family = kFamilyIPv6;
        std::memcpy(sender.Bytes.data(), &reinterpret_cast<const sockaddr_in6&>(from).sin6_addr, 16);
    }
}

}  // namespace quorvel::platform
