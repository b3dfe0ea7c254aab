// The Winsock listener sockets over real loopback datagrams: what Winsock
// does differently from BSD sockets (oversized datagrams fail the read,
// IPv6 sockets, the run-time lookup of the resolver) must reach the server
// in the same shape as on Linux.

#include "platform/UdpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace quorvel::platform {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

std::vector<BindAddress> Resolve(const std::string& node, uint16_t port) {
    std::vector<BindAddress> out;
    EXPECT_EQ(ResolvePassive(node, std::to_string(port), out), 0) << node;
    return out;
}

// A bound socket and its port; the family's loopback as the place to send to.
struct Listener {
    explicit Listener(int family, uint16_t port = 0) : Socket(CreateUdpSocket(family)) {
        const std::string node = family == kFamilyIPv4 ? "127.0.0.1" : "::1";
        std::vector<BindAddress> at = Resolve(node, port);
        if (Socket.Get() == kNoSocket || at.empty()) return;
        BindError = BindUdp(Socket.Get(), at[0]);
        Port = BoundPort(Socket.Get());
        Self = Resolve(node, Port).at(0);
    }
    UdpSocketHandle Socket;
    int BindError = -1;
    uint16_t Port = 0;
    BindAddress Self;
};

long SendTo(int family, const BindAddress& to, const std::string& payload) {
    UdpSocketHandle s(CreateUdpSocket(family));
    return SendDatagram(s.Get(), to, payload.data(), payload.size());
}

// Waits for a datagram on a non-blocking socket without taking it.
bool WaitReadable(int handle) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(static_cast<unsigned>(handle)), &set);
    timeval tv{5, 0};
    return select(0, &set, nullptr, nullptr, &tv) == 1;
}

bool WineHasIPv6Loopback() {
    UdpSocketHandle s(CreateUdpSocket(kFamilyIPv6));
    if (s.Get() == kNoSocket) return false;
    std::vector<BindAddress> at;
    return ResolvePassive("::1", "0", at) == 0 && !at.empty() && BindUdp(s.Get(), at[0]) == 0;
}

TEST(Win32UdpSocketTest, ResolverIsFoundInWs2_32AndLoadsAgainAfterUnload) {
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(LoadAddressResolver(), 0);
        std::vector<BindAddress> any = Resolve("", 514);
        ASSERT_FALSE(any.empty());
        for (const BindAddress& a : any) {
            EXPECT_EQ(a.SockAddr.size(), a.Family == kFamilyIPv4 ? 16u : 28u) << "the server tells families by length";
        }
        UnloadAddressResolver();
    }
    std::vector<BindAddress> out;
    EXPECT_NE(ResolvePassive(std::string("127.0.0.1\0evil", 14), "514", out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(Win32UdpSocketTest, OversizedDatagramFailsTheReadAndTheNextOneArrivesWhole) {
    Listener in(kFamilyIPv4);
    ASSERT_EQ(in.BindError, 0);
    std::vector<char> buffer(32769);

    const struct {
        size_t size;
        bool fits;
    } cases[] = {{32769, true}, {32770, false}, {60000, false}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string payload(c.size, 'x');
        ASSERT_EQ(SendTo(kFamilyIPv4, in.Self, payload), static_cast<long>(c.size));
        ASSERT_TRUE(WaitReadable(in.Socket.Get()));
        const ReceiveResult r = ReceiveDatagram(in.Socket.Get(), buffer.data(), buffer.size());
        if (c.fits) {
            EXPECT_EQ(r.Count, static_cast<long>(c.size));
            EXPECT_FALSE(r.Truncated);
            EXPECT_EQ(std::string(buffer.data(), c.size), payload);
        } else {
            EXPECT_EQ(r.Count, -1) << "a cut message must never pass for a whole one";
            EXPECT_TRUE(r.Truncated);
            EXPECT_EQ(r.Error, 10040);
            EXPECT_EQ(MessageTooLongError(), 10040);
        }
        EXPECT_EQ(r.Sender.Family, kFamilyIPv4);
        EXPECT_EQ(std::vector<unsigned char>(r.Sender.Bytes.begin(), r.Sender.Bytes.begin() + 4),
                  (std::vector<unsigned char>{127, 0, 0, 1}));
    }
    const ReceiveResult none = ReceiveDatagram(in.Socket.Get(), buffer.data(), buffer.size());
    EXPECT_EQ(none.Count, -1);
    EXPECT_TRUE(none.NothingWaiting) << "an empty queue is not a read error";
    EXPECT_FALSE(none.Truncated);
}

TEST(Win32UdpSocketTest, PortInUseIsRefusedWithTheSystemsCode) {
    Listener first(kFamilyIPv4);
    ASSERT_EQ(first.BindError, 0);
    UdpSocketHandle second(CreateUdpSocket(kFamilyIPv4));
    EXPECT_EQ(BindUdpIPv4(second.Get(), kLoopback, first.Port), WSAEADDRINUSE);
    UdpSocketHandle wildcard(CreateUdpSocket(kFamilyIPv4));
    EXPECT_EQ(BindUdpIPv4(wildcard.Get(), 0, first.Port), WSAEADDRINUSE);
    EXPECT_EQ(CreateUdpSocket(5), kNoSocket);
    EXPECT_EQ(LastUdpSocketError(), WSAEAFNOSUPPORT);
}

TEST(Win32UdpSocketTest, IPv4AndIPv6WildcardsOfOnePortBindSideBySide) {
    if (!WineHasIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
    Listener v4(kFamilyIPv4);
    ASSERT_EQ(v4.BindError, 0);
    UdpSocketHandle v6(CreateUdpSocket(kFamilyIPv6));
    BindAddress any6;
    for (const BindAddress& a : Resolve("", v4.Port)) {
        if (a.Family == kFamilyIPv6) any6 = a;
    }
    ASSERT_EQ(any6.Family, kFamilyIPv6);
    EXPECT_EQ(BindUdp(v6.Get(), any6), 0) << "the IPv6 socket must leave IPv4 to the IPv4 socket";

    ASSERT_EQ(SendTo(kFamilyIPv6, Resolve("::1", v4.Port).at(0), "over six"), 8);
    ASSERT_TRUE(WaitReadable(v6.Get()));
    char buffer[64];
    const ReceiveResult r = ReceiveDatagram(v6.Get(), buffer, sizeof buffer);
    ASSERT_EQ(r.Count, 8);
    EXPECT_EQ(r.Sender.Family, kFamilyIPv6);
    std::array<unsigned char, 16> loopback{};
    loopback[15] = 1;
    EXPECT_EQ(r.Sender.Bytes, loopback);
}

}  // namespace
}  // namespace quorvel::platform
