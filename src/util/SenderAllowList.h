#pragma once
// The senders an instance accepts (ALLOWEDSENDERS): IPv4 and IPv6 addresses
// and CIDR prefixes, separated by commas. Pure; safe from any thread once
// parsed.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class TSenderAllowList {
public:
    // Address families of Admits, as the platform's socket interfaces name them.
    static constexpr int kIPv4 = 4;
    static constexpr int kIPv6 = 6;

    // Reads "192.0.2.7, 198.51.100.0/24, 2001:db8::/32, ::1". Blanks around
    // an entry are ignored, empty entries skipped. False, with the entry in
    // *bad, when an entry is no address or its prefix too long; the list is
    // then empty.
    bool Parse(std::string_view text, std::string* bad = nullptr);

    // No entry: everyone is admitted.
    bool Empty() const { return entries_.empty(); }

    // bytes: 4 (IPv4) or 16 (IPv6) in network order. An IPv4-mapped IPv6
    // address (::ffff:a.b.c.d) is the IPv4 sender it stands for.
    bool Admits(int family, const unsigned char* bytes) const;

private:
    struct TEntry {
        int Family = 0;
        std::array<unsigned char, 16> Bytes{};
        unsigned Bits = 0;
    };
    std::vector<TEntry> entries_;
};

// Strict literals: four decimal parts for IPv4; for IPv6 hexadecimal groups
// of one to four digits, at most one "::", an IPv4 tail allowed, no zone.
// Not DString's address readers: those keep what other keys have always
// accepted ("*" parts, groups of more than four digits cut to 16 bits), and an
// allow-list entry read as other than it says would admit the wrong senders.
bool ParseIPv4Bytes(std::string_view text, unsigned char bytes[4]);
bool ParseIPv6Bytes(std::string_view text, unsigned char bytes[16]);

}  // namespace quorvel
