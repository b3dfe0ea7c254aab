#include "util/SenderAllowList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quorvel {
namespace {

// The system's own address parser is the reference for the bytes.
bool Admits(const TSenderAllowList& list, const char* address) {
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET, address, bytes) == 1) return list.Admits(TSenderAllowList::kIPv4, bytes);
    EXPECT_EQ(inet_pton(AF_INET6, address, bytes), 1) << address;
    return list.Admits(TSenderAllowList::kIPv6, bytes);
}

TEST(SenderAllowList, AdmitsTheAddressesAndPrefixesListed) {
    TSenderAllowList list;
    ASSERT_TRUE(list.Parse(" 127.0.0.1 ,, 10.1.0.0/16,192.0.2.128/25, 2001:db8:ab00::/40 ,::1"));
    const struct {
        const char* address;
        bool admitted;
    } cases[] = {
        {"127.0.0.1", true},         {"127.0.0.2", false},      {"10.1.255.7", true},
        {"10.2.0.1", false},         {"192.0.2.200", true},     {"192.0.2.127", false},
        {"2001:db8:abff::9", true},  {"2001:db8:ac00::", false}, {"::1", true},
        {"::2", false},              {"::ffff:127.0.0.1", true}, {"::ffff:127.0.0.2", false},
        {"::127.0.0.1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(Admits(list, c.address), c.admitted) << c.address;

    for (const char* all : {" , ", "0.0.0.0/0, ::/0"}) {
        TSenderAllowList everyone;
        ASSERT_TRUE(everyone.Parse(all));
        EXPECT_EQ(everyone.Empty(), *all == ' ') << all;
        EXPECT_TRUE(Admits(everyone, "203.0.113.9") && Admits(everyone, "2001:db8::1")) << all;
    }
}

TEST(SenderAllowList, RefusesWhatIsNoAddressAndNamesIt) {
    const char* bad[] = {"localhost", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4/33", "1.2.3.4/", "::1/129",
                         "1:2:3:4:5:6:7", "1::2::3", "1:2:3:4:5:6:7:8::", ":1::", "1:", "12345::", "fe80::1%eth0",
                         "::1.2.3", "1.2.3.4/-1"};
    for (const char* entry : bad) {
        TSenderAllowList list;
        std::string named;
        EXPECT_FALSE(list.Parse(std::string("127.0.0.1, ") + entry, &named)) << entry;
        EXPECT_EQ(named, entry);
        EXPECT_TRUE(list.Empty()) << entry;
    }
    unsigned char bytes[16];
    for (const char* good : {"::", "1::", "1:2:3:4:5:6:7:8", "::ffff:1.2.3.4", "a:b:c:d:e:f:1.2.3.4"}) {
        unsigned char expected[16];
        ASSERT_EQ(inet_pton(AF_INET6, good, expected), 1) << good;
        ASSERT_TRUE(ParseIPv6Bytes(good, bytes)) << good;
        EXPECT_EQ(std::memcmp(bytes, expected, 16), 0) << good;
    }
}

}  // namespace
}  // namespace quorvel
