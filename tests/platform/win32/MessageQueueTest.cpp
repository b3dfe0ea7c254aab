// The Windows message queue: thread messages, WSAAsyncSelect notifications
// through hidden windows, and the order between the two.
#include "platform/MessageQueue.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quorvel::platform {
namespace {

struct Winsock {
    Winsock() {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

// A bound UDP socket on the loopback address (WSAAsyncSelect makes it
// non-blocking).
struct UdpSocket {
    UdpSocket() {
        s = ::socket(AF_INET, SOCK_DGRAM, 0);
        fd = static_cast<int>(s);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int len = sizeof addr;
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~UdpSocket() { Close(); }
    void Close() {
        if (s != INVALID_SOCKET) ::closesocket(s);
        s = INVALID_SOCKET;
    }
    void SendToSelf(const std::string& text) {
        sendto(s, text.data(), static_cast<int>(text.size()), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    std::string ReadOne() {
        char buf[2048];
        int n = recv(s, buf, sizeof buf, 0);
        return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
    }
    Winsock winsock;
    SOCKET s = INVALID_SOCKET;
    int fd = -1;
    sockaddr_in addr{};
};

// Runs the loop the way the worker does until quit.
void Pump(MessageQueue& queue, std::vector<QueueMessage>* threadMessages = nullptr) {
    QueueMessage m;
    while (queue.GetMessage(m) == 1) {
        if (m.Target == 0 && threadMessages) threadMessages->push_back(m);
        queue.DispatchMessage(m);
    }
}

TEST(Win32MessageQueueTest, MessagesPostedFromOtherThreadsArriveInOrderUntilQuit) {
    auto queue = CreateMessageQueue();
    ASSERT_TRUE(queue);
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) queue->Post(1025, i, 0);
        queue->PostQuit();
    });
    std::vector<QueueMessage> got;
    Pump(*queue, &got);
    poster.join();
    ASSERT_EQ(got.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i].Number, 1025u);
        EXPECT_EQ(got[i].Param1, i);
    }
}

TEST(Win32MessageQueueTest, EachQueuedDatagramIsOneNotification) {
    auto queue = CreateMessageQueue();
    UdpSocket s;
    for (const char* t : {"one", "two", "three"}) s.SendToSelf(t);
    std::vector<std::string> read;
    ASSERT_TRUE(queue->RegisterSocket(s.fd, 1228, [&](unsigned number, int64_t p1, int64_t p2) {
        EXPECT_EQ(number, 1228u);
        EXPECT_EQ(p1, s.fd);
        EXPECT_EQ(p2 & 0xFFFF, kSocketRead);
        read.push_back(s.ReadOne());
        if (read.size() == 3) queue->PostQuit();
    }));
    Pump(*queue);
    EXPECT_EQ(read, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(Win32MessageQueueTest, StopRequestIsNotStarvedByAFlood) {
    auto queue = CreateMessageQueue();
    UdpSocket s;
    for (int i = 0; i < 50; ++i) s.SendToSelf("x");
    int reads = 0;
    queue->RegisterSocket(s.fd, 1228, [&](unsigned, int64_t, int64_t) {
        s.ReadOne();
        if (++reads == 1) queue->PostQuit();
    });
    Pump(*queue);
    EXPECT_EQ(reads, 1);
}

TEST(Win32MessageQueueTest, UnregisteringDuringDispatchStopsNotificationsAtOnce) {
    auto queue = CreateMessageQueue();
    UdpSocket a, b;
    for (int i = 0; i < 3; ++i) {
        a.SendToSelf("a");
        b.SendToSelf("b");
    }
    int aCalls = 0, bCalls = 0;
    auto alive = std::make_shared<int>(42);
    // The first handler to run unregisters both sockets, itself included,
    // and then still uses what it captured.
    auto stopAll = [&, alive](unsigned, int64_t, int64_t) {
        queue->UnregisterSocket(a.fd);
        queue->UnregisterSocket(b.fd);
        b.Close();
        EXPECT_EQ(*alive, 42);
        queue->PostQuit();
    };
    queue->RegisterSocket(a.fd, 1228, [&, stopAll](unsigned n, int64_t p1, int64_t p2) {
        ++aCalls;
        stopAll(n, p1, p2);
    });
    queue->RegisterSocket(b.fd, 1328, [&, stopAll](unsigned n, int64_t p1, int64_t p2) {
        ++bCalls;
        stopAll(n, p1, p2);
    });
    alive.reset();
    Pump(*queue);
    EXPECT_EQ(aCalls + bCalls, 1);
    // Registered again later, the socket is served again.
    queue->RegisterSocket(a.fd, 1228, [&](unsigned, int64_t, int64_t) {
        ++aCalls;
        a.ReadOne();
        queue->PostQuit();
    });
    int before = aCalls;
    Pump(*queue);
    EXPECT_EQ(aCalls, before + 1);
}

TEST(Win32MessageQueueTest, CurrentIsTheQueueOfTheCallingThreadOnly) {
    auto queue = CreateMessageQueue();
    queue->AttachToCurrentThread();
    EXPECT_EQ(MessageQueue::Current(), queue.get());
    MessageQueue* other = queue.get();
    std::thread([&] { other = MessageQueue::Current(); }).join();
    EXPECT_EQ(other, nullptr);
    queue->DetachFromCurrentThread();
    EXPECT_EQ(MessageQueue::Current(), nullptr);
}

TEST(Win32MessageQueueTest, MessagesPostedBeforeTheWorkerRunsAreKept) {
    // The host creates the queue on one thread and runs it on the worker: a
    // control request may come before the worker has a Windows queue.
    auto queue = CreateMessageQueue();
    ASSERT_TRUE(queue->Post(1025, 1, 0));
    ASSERT_TRUE(queue->Post(1025, 2, 0));
    ASSERT_TRUE(queue->PostQuit());
    std::vector<QueueMessage> got;
    std::thread worker([&] { Pump(*queue, &got); });
    worker.join();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Param1, 1);
    EXPECT_EQ(got[1].Param1, 2);
}

TEST(Win32MessageQueueTest, SocketsOfAnotherThreadCannotBeRegistered) {
    auto queue = CreateMessageQueue();
    UdpSocket s;
    queue->Post(1025, 0, 0);
    QueueMessage m;
    ASSERT_EQ(queue->GetMessage(m), 1);  // this thread owns the queue now
    bool registered = true;
    std::thread([&] { registered = queue->RegisterSocket(s.fd, 1228, [](unsigned, int64_t, int64_t) {}); }).join();
    EXPECT_FALSE(registered);
}

}  // namespace
}  // namespace quorvel::platform
