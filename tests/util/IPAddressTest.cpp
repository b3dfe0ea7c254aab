#include <gtest/gtest.h>

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
    EXPECT_TRUE(IsIPv4Address("192.168.1.*"));
    EXPECT_FALSE(IsIPv4Address("192.168.1"));
    EXPECT_EQ(AddressKind("::ffff:1.2.3.4"), akIPv6);
    EXPECT_EQ(AddressKind("10.0.0.1"), akIPv4);
    EXPECT_EQ(AddressKind("host"), akNone);
}

TEST(IPAddress, ParsesIPv6Texts) {
    const struct {
        std::string text;
        Groups groups;
        std::string zoneAndPrefix;
    } cases[] = {
        {"fe80::1%eth0/64", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, "eth0/64"},
        {"::ffff:192.168.0.1", {0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 1}, "/0"},
        {"2001:0DB8:0:0:0:0:0:0001/200", {0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, "/128"},
        {"2001:db8::1/ab", {0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, "/128"},
        {"1::%en0:x/4", {1, 0, 0, 0, 0, 0, 0, 0}, "en0:x/4"},
        {"0::0", {}, "/0"},
        {"::", {}, "/0"},
        {"1:2:3:4:5:6:7:8", {1, 2, 3, 4, 5, 6, 7, 8}, "/0"},
        // A dot in a group counts as a zero digit; the address is taken as
        // it always was.
        {"1:2:3:4:5:6:7:1.2", {1, 2, 3, 4, 5, 6, 7, 0x102}, "/0"},
    };
    for (const auto& c : cases) {
        TIPv6Address address;
        address.Zone = "stale";
        EXPECT_TRUE(ParseIPv6Address(c.text, address)) << c.text;
        EXPECT_EQ(address.Groups, c.groups) << c.text;
        EXPECT_EQ(address.Zone + "/" + std::to_string(address.PrefixLength), c.zoneAndPrefix) << c.text;
    }
    for (const char* text : {"", "1:2:3:4:5:6:7:", "fe80::g1", "fe80::1/64/64", "fe80::1%a%b",
                             "1:2:3:4:5:6:7:8:9:0", "::1.2.3"}) {
        TIPv6Address address;
        address.Groups = {9, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_FALSE(ParseIPv6Address(text, address)) << text;
        EXPECT_EQ(address.Groups, Groups{}) << text;
    }
}

// RFC 5952 4: no leading zeros, the longest run of two or more zero groups
// (the first of equally long ones) as "::", lower case unless asked.
TEST(IPAddress, FormatsIPv6TheRecommendedWay) {
    const struct {
        Groups groups;
        bool upperCase;
        const char* text;
    } cases[] = {
        {{0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, false, "2001:db8::1"},
        {{0x2001, 0xDB8, 0, 1, 0, 0, 0, 1}, false, "2001:db8:0:1::1"},
        {{0x2001, 0, 0, 1, 0, 0, 1, 1}, false, "2001::1:0:0:1:1"},
        {{0xABC, 0xF00, 0xA, 0, 0, 0xFFFF, 0, 0}, false, "abc:f00:a::ffff:0:0"},
        {{1, 0, 1, 0, 1, 0, 1, 0}, false, "1:0:1:0:1:0:1:0"},
        {{}, false, "::"},
        {{1, 0, 0, 0, 0, 0, 0, 0}, false, "1::"},
        {{0, 0, 0, 0, 0, 0, 0, 1}, false, "::1"},
        {{0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 1}, false, "::ffff:c0a8:1"},
        {{0xFE80, 0, 0, 0, 0, 0, 0, 0xAB}, true, "FE80::AB"},
        {{0xABCD, 0xEF, 1, 2, 3, 4, 5, 6}, true, "ABCD:EF:1:2:3:4:5:6"},
    };
    for (const auto& c : cases) {
        TIPv6Address address;
        address.Groups = c.groups;
        EXPECT_EQ(FormatIPv6Address(address, c.upperCase), c.text);
    }
}

}  // namespace
}  // namespace quorvel
