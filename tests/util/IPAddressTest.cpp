#include <gtest/gtest.h>

#include <vector>

#include "util/DString.h"

namespace quorvel {
namespace {

using Groups = std::array<uint16_t, 8>;

TEST(IPAddress, SplitsDottedIPv4) {
    const struct {
        std::string text;
        std::array<int, 4> parts;
    } cases[] = {
        {"192.168.1.*", {192, 168, 1, -2}}, {"192.168.1", {192, 168, -1, 1}},
        {"10.0.0.256", {10, 0, 0, -1}},     {"-1.2.3.4", {-1, 2, 3, 4}},
        {"1.2.3.4 ", {1, 2, 3, -1}},        {"", {-1, -1, -1, -1}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitIPv4Address(c.text), c.parts) << c.text;
    EXPECT_TRUE(IsIPv4Address("192.168.1.*") && !IsIPv4Address("192.168.1"));
    EXPECT_EQ(std::vector<TAddressKind>({AddressKind("::ffff:1.2.3.4"), AddressKind("10.0.0.1"), AddressKind("host")}),
              std::vector<TAddressKind>({akIPv6, akIPv4, akNone}));
}

// Written back the RFC 5952 way: no leading zeros, the longest run of two or
// more zero groups (the first of equally long ones) as "::", lower case.
TEST(IPAddress, ParsesIPv6TextsAndWritesThemBackShort) {
    const struct {
        std::string text;
        Groups groups;
        std::string zoneAndPrefix, written;
    } cases[] = {
        {"fe80::1%eth0/64", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, "eth0/64", "fe80::1"},
        {"::ffff:192.168.0.1", {0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 1}, "/0", "::ffff:c0a8:1"},
        {"2001:0DB8:0:0:0:0:0:0001/200", {0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, "/128", "2001:db8::1"},
        {"2001:db8::1/ab", {0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, "/128", "2001:db8::1"},
        {"1::%en0:x/4", {1, 0, 0, 0, 0, 0, 0, 0}, "en0:x/4", "1::"},
        {"0::0", {}, "/0", "::"},
        {"::1", {0, 0, 0, 0, 0, 0, 0, 1}, "/0", "::1"},
        {"1:2:3:4:5:6:7:8", {1, 2, 3, 4, 5, 6, 7, 8}, "/0", "1:2:3:4:5:6:7:8"},
        {"2001:db8:0:1:0:0:0:1", {0x2001, 0xDB8, 0, 1, 0, 0, 0, 1}, "/0", "2001:db8:0:1::1"},
        {"2001:0:0:1:0:0:1:1", {0x2001, 0, 0, 1, 0, 0, 1, 1}, "/0", "2001::1:0:0:1:1"},
        {"abc:f00:a:0:0:ffff:0:0", {0xABC, 0xF00, 0xA, 0, 0, 0xFFFF, 0, 0}, "/0", "abc:f00:a::ffff:0:0"},
        {"1:0:1:0:1:0:1:0", {1, 0, 1, 0, 1, 0, 1, 0}, "/0", "1:0:1:0:1:0:1:0"},
        // A dot in a group counts as a zero digit, as it always did.
        {"1:2:3:4:5:6:7:1.2", {1, 2, 3, 4, 5, 6, 7, 0x102}, "/0", "1:2:3:4:5:6:7:102"},
    };
    for (const auto& c : cases) {
        TIPv6Address address;
        address.Zone = "stale";
        EXPECT_TRUE(ParseIPv6Address(c.text, address)) << c.text;
        EXPECT_EQ(address.Groups, c.groups) << c.text;
        EXPECT_EQ(address.Zone + "/" + std::to_string(address.PrefixLength), c.zoneAndPrefix) << c.text;
        EXPECT_EQ(FormatIPv6Address(address, false), c.written) << c.text;
    }
    for (const char* text : {"", "1:2:3:4:5:6:7:", "fe80::g1", "fe80::1/64/64", "fe80::1%a%b",
                             "1:2:3:4:5:6:7:8:9:0", "::1.2.3"}) {
        TIPv6Address address;
        address.Groups = {9, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_FALSE(ParseIPv6Address(text, address)) << text;
        EXPECT_EQ(address.Groups, Groups{}) << text;
    }
    EXPECT_EQ(FormatIPv6Address(TIPv6Address{{0xFE80, 0, 0, 0, 0, 0, 0, 0xAB}, 0, ""}, true), "FE80::AB");
}

}  // namespace
}  // namespace quorvel
