#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>

#include "util/DString.h"

namespace quorvel {
namespace {

using Groups = std::array<uint16_t, 8>;

TIPv6Address Address(Groups groups) {
    TIPv6Address address;
    address.Groups = groups;
    return address;
}

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
        std::string zone;
        int prefix;
    } cases[] = {
        {"fe80::1%eth0/64", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, "eth0", 64},
        {"::ffff:192.168.0.1", {0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 1}, "", 0},
        {"2001:0DB8:0:0:0:0:0:0001/200", {0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, "", 128},
        {"2001:db8::1/ab", {0x2001, 0xDB8, 0, 0, 0, 0, 0, 1}, "", 128},
        {"1::%en0:x/4", {1, 0, 0, 0, 0, 0, 0, 0}, "en0:x", 4},
        {"0::0", {}, "", 0},
    };
    for (const auto& c : cases) {
        TIPv6Address address;
        address.Zone = "stale";
        EXPECT_TRUE(ParseIPv6Address(c.text, address)) << c.text;
        EXPECT_EQ(address.Groups, c.groups) << c.text;
        EXPECT_EQ(address.Zone + "/" + std::to_string(address.PrefixLength),
                  c.zone + "/" + std::to_string(c.prefix)) << c.text;
    }
    for (const char* text : {"", "1:2:3:4:5:6:7:", "fe80::g1", "fe80::1/64/64", "fe80::1%a%b",
                             "1:2:3:4:5:6:7:8:9:0", "::1.2.3"}) {
        TIPv6Address address = Address({9, 9, 9, 9, 9, 9, 9, 9});
        EXPECT_FALSE(ParseIPv6Address(text, address)) << text;
        EXPECT_EQ(address.Groups, Groups{}) << text;
    }
}

// The run choice at large is checked against the C library below, which
// writes these two forms differently.
TEST(IPAddress, FormatsMappedAddressesInHexAndUpperCaseOnRequest) {
    EXPECT_EQ(FormatIPv6Address(Address({0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 0x0001}), false), "::ffff:c0a8:1");
    EXPECT_EQ(FormatIPv6Address(Address({0xFE80, 0, 0, 0, 0, 0, 0, 0xAB}), true), "FE80::AB");
}

// inet_ntop makes the same RFC 5952 choice of run but writes IPv4-mapped and
// -compatible addresses dotted, so only texts without a dot are compared.
TEST(IPAddress, AgreesWithTheCLibrary) {
    std::mt19937 random(20260406);
    const uint16_t samples[] = {1, 0xA, 0xAB, 0xABC, 0xFFFF, 0xF00};
    for (int n = 0; n < 20000; ++n) {
        Groups groups;
        unsigned char bytes[16];
        for (size_t g = 0; g < 8; ++g) {
            groups[g] = random() % 2 ? 0 : samples[random() % 6];
            bytes[2 * g] = static_cast<unsigned char>(groups[g] >> 8);
            bytes[2 * g + 1] = static_cast<unsigned char>(groups[g]);
        }
        char kernel[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, bytes, kernel, sizeof kernel), nullptr);
        const std::string ours = FormatIPv6Address(Address(groups), false);
        if (std::string(kernel).find('.') == std::string::npos) {
            ASSERT_EQ(ours, kernel);
        }
        TIPv6Address parsed;
        ASSERT_TRUE(ParseIPv6Address(kernel, parsed) && parsed.Groups == groups) << kernel;
        ASSERT_TRUE(ParseIPv6Address(ours, parsed) && parsed.Groups == groups) << ours;
    }
}

// Damaged texts: the parser stays inside its text (the sanitizer build checks
// that), and where inet_pton accepts a text both give the same groups (a dotted
// tail without "::" is not taken by the parser).
TEST(IPAddress, ParserSurvivesDamagedText) {
    std::mt19937 random(7);
    const std::string alphabet = "0123456789abcdefABCDEF::..//%%g \xff";
    const char* seeds[] = {"2001:db8::1", "fe80::2ff:fe33:4455%eth0/64", "::ffff:192.168.0.1", "1:2:3:4:5:6:7:8"};
    int agreed = 0;
    for (int n = 0; n < 50000; ++n) {
        std::string text = seeds[random() % 4];
        for (int edits = random() % 3 + 1; edits > 0; --edits) {
            size_t at = random() % (text.size() + 1);
            if (at == text.size() || random() % 2) text.insert(at, 1, alphabet[random() % alphabet.size()]);
            else text.erase(at, 1);
        }
        TIPv6Address parsed;
        const bool ours = ParseIPv6Address(text, parsed);
        unsigned char b[16];
        if (inet_pton(AF_INET6, text.c_str(), b) != 1) continue;
        if (text.find('.') != std::string::npos && text.find("::") == std::string::npos) continue;
        ASSERT_TRUE(ours) << text;
        for (size_t g = 0; g < 8; ++g) ASSERT_EQ(parsed.Groups[g], b[2 * g] << 8 | b[2 * g + 1]) << text;
        ++agreed;
    }
    EXPECT_GT(agreed, 3000);
}

}  // namespace
}  // namespace quorvel
