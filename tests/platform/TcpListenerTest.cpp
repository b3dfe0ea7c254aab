// Stream reception's seam on the build's backend: a listener's accepts and a
// connection's reads through the worker's queue, reading paused by
// unregistering and resumed by registering again, and the queue's timer.
#include "platform/TcpListener.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/SystemError.h"
#include "platform/TcpSocket.h"

namespace quorvel::platform {
namespace {

TEST(TcpListenerTest, AcceptsReadsPausesAndResumesThroughTheQueue) {
    std::vector<BindAddress> addresses;
    ASSERT_EQ(ResolvePassive("127.0.0.1", "0", addresses), 0);
    SocketHandle listener;
    const char* step = nullptr;
    ASSERT_EQ(OpenTcpListener(addresses.at(0), listener, &step), 0) << step;
    const uint16_t port = BoundPort(listener.Get());
    ASSERT_NE(port, 0);

    auto queue = CreateMessageQueue();
    SocketHandle client, connection;
    ASSERT_EQ(CreateTcpSocket(client), 0);
    ASSERT_EQ(ConnectTcpWithin(client.Get(), 0x7F000001, port, 5000), 0);
    ASSERT_EQ(SendSome(client.Get(), "first", 5), 5);

    std::string got;
    SenderAddress peer;
    int ticks = 0, ticksAtPause = -1;
    bool closed = false;
    uint64_t timer = 0;
    const auto onRead = [&](unsigned, int64_t, int64_t) {
        char buffer[64];
        for (;;) {
            const long n = ReadStream(connection.Get(), buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) {
                closed = true;
                queue->UnregisterSocket(connection.Get());
                queue->PostQuit();
            } else {
                EXPECT_TRUE(WouldBlock(LastSystemError()));
            }
            break;
        }
        if (got == "first") {
            // Paused: what the client sends now waits in the system.
            queue->UnregisterSocket(connection.Get());
            ticksAtPause = ticks;
            EXPECT_EQ(SendSome(client.Get(), "second", 6), 6);
        }
    };
    ASSERT_EQ(queue->RegisterSocket(
                  listener.Get(), 7001,
                  [&](unsigned, int64_t, int64_t p2) {
                      EXPECT_EQ(p2 & 0xFFFF, kSocketAccept);
                      ASSERT_EQ(AcceptTcp(listener.Get(), connection, peer), 0);
                      SocketHandle none;
                      SenderAddress nobody;
                      EXPECT_TRUE(WouldBlock(AcceptTcp(listener.Get(), none, nobody)));
                      ASSERT_EQ(queue->RegisterSocket(connection.Get(), 7002, onRead, kSocketRead | kSocketClose), 0);
                  },
                  kSocketAccept),
              0);
    ASSERT_EQ(queue->StartTimer(20, [&] {
        ++ticks;
        // Five ticks of pause, then reading resumes; the bytes that waited
        // are reported without any new ones.
        if (ticksAtPause >= 0 && ticks == ticksAtPause + 5) {
            EXPECT_EQ(got, "first");
            ASSERT_EQ(queue->RegisterSocket(connection.Get(), 7002, onRead, kSocketRead | kSocketClose), 0);
            client.Reset();
        }
    }, &timer), 0);
    QueueMessage m;
    while (queue->Next(m) == 1) queue->Dispatch(m);
    queue->StopTimer(timer);
    EXPECT_EQ(got, "firstsecond");
    EXPECT_TRUE(closed);
    EXPECT_EQ(peer.Family, kFamilyIPv4);
    EXPECT_EQ(peer.Bytes[0], 127);
    EXPECT_GE(ticks, 5);
}

}  // namespace
}  // namespace quorvel::platform
