// Listener sockets over real loopback datagrams: an oversized datagram must
// reach the server as a failed read on every backend (Linux cuts it quietly,
// Winsock fails the read), and the resolver never reads past a NUL.
#include "platform/UdpSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/LoopbackUdp.h"
#include "platform/TcpSocket.h"

namespace quorvel::platform {
namespace {

using test::LoopbackUdp;

TEST(UdpSocketTest, OversizedDatagramFailsTheReadAndTheNextOneArrivesWhole) {
    LoopbackUdp in;
    ASSERT_EQ(in.BindError, 0);
    std::vector<char> buffer(32769);
    const struct {
        size_t size;
        bool fits;
    } cases[] = {{32769, true}, {32770, false}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string payload(c.size, 'x');
        ASSERT_EQ(in.SendToSelf(payload), static_cast<long>(c.size));
        ASSERT_EQ(WaitReadable(in.Fd(), 5), 1);
        const ReceiveResult r = ReceiveDatagram(in.Fd(), buffer.data(), buffer.size());
        if (c.fits) {
            EXPECT_EQ(r.Count, static_cast<long>(c.size));
            EXPECT_EQ(std::string(buffer.data(), c.size), payload);
        } else {
            EXPECT_EQ(r.Count, -1) << "a cut message must never pass for a whole one";
            EXPECT_TRUE(r.Truncated);
            EXPECT_EQ(r.Error, MessageTooLongError());
        }
        EXPECT_EQ(r.Sender.Family, kFamilyIPv4);
        EXPECT_EQ(std::vector<unsigned char>(r.Sender.Bytes.begin(), r.Sender.Bytes.begin() + 4),
                  (std::vector<unsigned char>{127, 0, 0, 1}));
    }
    const ReceiveResult none = ReceiveDatagram(in.Fd(), buffer.data(), buffer.size());
    EXPECT_EQ(none.Count, -1);
    EXPECT_TRUE(none.NothingWaiting) << "an empty queue is not a read error";
    EXPECT_FALSE(none.Truncated);
}

TEST(UdpSocketTest, PortInUseAndUnknownFamilyAreRefused) {
    LoopbackUdp first;
    ASSERT_EQ(first.BindError, 0);
    UdpSocketHandle wildcard(CreateUdpSocket(kFamilyIPv4));
    EXPECT_NE(BindUdpIPv4(wildcard.Get(), 0, first.Port), 0);
    EXPECT_EQ(CreateUdpSocket(5), kNoSocket);
    EXPECT_NE(LastUdpSocketError(), 0);
}

TEST(UdpSocketTest, ResolverLoadsAgainAfterUnloadAndStopsAtNul) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(LoadAddressResolver(), 0);
        std::vector<BindAddress> any;
        ASSERT_EQ(ResolvePassive("", "514", any), 0);
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

}  // namespace
}  // namespace quorvel::platform
