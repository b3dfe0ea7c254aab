#pragma once
// What both backends do with a resolver's answer. POSIX and Winsock declare
// addrinfo with the same field names, so these are templates over the
// structure: each backend instantiates them with its own system header and
// resolver functions, and this header needs neither.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/UdpSocket.h"

namespace quorvel::platform {

template <typename Info>
Info AddrInfoHints(int flags, int family, int socktype, int protocol) {
    Info hints{};
    hints.ai_flags = flags;
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    hints.ai_protocol = protocol;
    return hints;
}

// The IPv4 and IPv6 entries of `list`, in the resolver's order; entries of any
// other family are passed over.
template <typename Info>
void AppendBindAddresses(const Info* list, int inet, int inet6, std::vector<BindAddress>& addresses) {
    for (const Info* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addr == nullptr || (ai->ai_family != inet && ai->ai_family != inet6)) continue;
        BindAddress address;
        address.Family = ai->ai_family == inet ? kFamilyIPv4 : kFamilyIPv6;
        const auto* bytes = reinterpret_cast<const unsigned char*>(ai->ai_addr);
        address.SockAddr.assign(bytes, bytes + ai->ai_addrlen);
        addresses.push_back(std::move(address));
    }
}

// The official name of `host`'s IPv4 entry; `host` itself when the lookup
// finds none or names nothing.
template <typename Info, typename Lookup, typename Release>
std::string CanonicalNameOf(const std::string& host, int inet, int canonName, Lookup lookup, Release release) {
    if (host.empty()) return host;
    const Info hints = AddrInfoHints<Info>(canonName, inet, 0, 0);
    Info* list = nullptr;
    if (lookup(host.c_str(), nullptr, &hints, &list) != 0) return host;
    std::string canonical;
    if (list != nullptr && list->ai_canonname != nullptr) canonical = list->ai_canonname;
    release(list);
    return canonical.empty() ? host : canonical;
}

// The address of `name`'s first IPv4 entry in host order: 0, the lookup's
// error, or `none` when the answer holds no IPv4 entry. The address is read
// from bytes 4 to 7 of the sockaddr, where both systems keep it.
template <typename Info, typename Lookup, typename Release>
int ResolveIPv4Of(const std::string& name, int inet, int stream, int none, Lookup lookup, Release release,
                  uint32_t& address) {
    const Info hints = AddrInfoHints<Info>(0, inet, stream, 0);
    Info* list = nullptr;
    int rc = lookup(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) return rc;
    rc = none;
    for (const Info* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != inet || ai->ai_addr == nullptr || ai->ai_addrlen < 8) continue;
        const auto* b = reinterpret_cast<const unsigned char*>(ai->ai_addr);
        address = uint32_t{b[4]} << 24 | uint32_t{b[5]} << 16 | uint32_t{b[6]} << 8 | b[7];
        rc = 0;
        break;
    }
    release(list);
    return rc;
}

}  // namespace quorvel::platform
