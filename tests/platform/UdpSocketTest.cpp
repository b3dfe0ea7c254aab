// Sockets over real loopback datagrams, and failures that tell their cause on
// every backend.
#include "platform/UdpSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/LoopbackUdp.h"
#include "platform/SystemError.h"
#include "platform/TcpSocket.h"

namespace quorvel::platform {
namespace {

// Linux cuts an oversized datagram quietly, Winsock fails the read.
TEST(UdpSocketTest, OversizedDatagramIsDroppedWholeAndTheNextOneArrivesWhole) {
    test::LoopbackUdp in;
    const long sizes[] = {32769, 32770, 0};
    std::vector<char> buffer(3 * 32769);
    DatagramSlot slots[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(in.SendToSelf(std::string(sizes[i], 'x')), sizes[i]);
        slots[i].Buffer = &buffer[i * 32769], slots[i].Size = 32769;
    }
    ASSERT_EQ(WaitReadable(in.Fd(), 5), kWaitReady);
    ASSERT_EQ(ReceiveDatagrams(in.Fd(), slots, 3).Filled, 3);
    for (const DatagramSlot& slot : slots) {
        const long sent = sizes[&slot - slots];
        EXPECT_EQ(slot.Truncated, sent > 32769) << "a cut message must never pass for a whole one";
        EXPECT_EQ(slot.Count, sent > 32769 ? 0 : sent);
        EXPECT_EQ(std::string(slot.Buffer, slot.Count), std::string(slot.Count, 'x'));
        EXPECT_EQ(slot.Sender.Family, kFamilyIPv4);
        EXPECT_EQ(std::string(slot.Sender.Bytes.begin(), slot.Sender.Bytes.begin() + 4), std::string("\x7f\0\0\x01", 4));
    }
    const BatchResult none = ReceiveDatagrams(in.Fd(), slots, 3);
    EXPECT_EQ(none.Filled, 0);
    EXPECT_TRUE(none.NothingWaiting) << "an empty queue is not a read error";
}

// LastSystemError finds Winsock's last error too.
TEST(UdpSocketTest, FailuresGiveTheSystemsErrorAndResolversStopAtNul) {
    test::LoopbackUdp first;
    SocketHandle wildcard, unknown;
    ASSERT_EQ(CreateUdpSocket(kFamilyIPv4, wildcard), 0);
    EXPECT_NE(BindIPv4(wildcard.Get(), 0, first.Port), 0) << "the port is in use";
    EXPECT_NE(CreateUdpSocket(5, unknown), 0);
    EXPECT_FALSE(unknown.Valid());
    EXPECT_EQ(SendDatagram(first.Fd(), BindAddress{}, "x", 1), kTransferFailed);
    EXPECT_NE(LastSystemError(), 0);
    EXPECT_EQ(WaitReadable(kNoSocket, 0), kWaitFailed);
    EXPECT_NE(LastSystemError(), 0);

    std::vector<BindAddress> out;
    uint32_t address = 0;
    EXPECT_NE(ResolvePassive(std::string("127.0.0.1\0evil", 14), "514", out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(ResolveIPv4(std::string("127.0.0.1\0evil", 14), address), 0);
}

}  // namespace
}  // namespace quorvel::platform
