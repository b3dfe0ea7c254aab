#include <cstdint>
#include <cstdio>

#include "platform/TcpListener.h"
#include "platform/UdpSocket.h"

namespace quorvel::platform {

// sockaddr_in and sockaddr_in6 lay out family, port and address alike on
// every system the program builds for: the port in network order at bytes 2
// and 3, the address from byte 4 (IPv4) or byte 8 (IPv6), in 16 and 28 bytes.
BindAddress WithPort(const BindAddress& address, uint16_t port) {
    BindAddress moved = address;
    const size_t size = moved.Family == kFamilyIPv6 ? 28 : moved.Family == kFamilyIPv4 ? 16 : SIZE_MAX;
    if (moved.SockAddr.size() >= size) {
        moved.SockAddr[2] = static_cast<unsigned char>(port >> 8);
        moved.SockAddr[3] = static_cast<unsigned char>(port & 0xFF);
    }
    return moved;
}

std::string BindAddressText(const BindAddress& address) {
    const std::vector<unsigned char>& raw = address.SockAddr;
    char part[8];
    std::string text;
    if (address.Family == kFamilyIPv4 && raw.size() >= 8) {
        for (size_t i = 4; i < 8; ++i) {
            std::snprintf(part, sizeof part, i == 4 ? "%u" : ".%u", raw[i]);
            text += part;
        }
        return text;
    }
    if (address.Family != kFamilyIPv6 || raw.size() < 24) return "?";
    unsigned groups[8];
    for (size_t g = 0; g < 8; ++g) groups[g] = static_cast<unsigned>(raw[8 + 2 * g]) << 8 | raw[9 + 2 * g];
    // The longest run of two or more zero groups becomes "::".
    int bestStart = -1, bestLength = 1;
    for (int g = 0; g < 8;) {
        int length = 0;
        while (g + length < 8 && groups[g + length] == 0) ++length;
        if (length > bestLength) {
            bestStart = g;
            bestLength = length;
        }
        g += length > 0 ? length : 1;
    }
    for (int g = 0; g < 8; ++g) {
        if (g == bestStart) {
            text += "::";
            g += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        std::snprintf(part, sizeof part, "%x", groups[g]);
        text += part;
    }
    return text;
}

}  // namespace quorvel::platform
