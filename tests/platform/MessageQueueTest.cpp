// The worker's message queue on the build's backend: thread messages and
// socket read notifications.
#include "platform/MessageQueue.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/LoopbackUdp.h"

namespace quorvel::platform {
namespace {

using test::LoopbackUdp;

// Runs the loop the way the worker does until quit.
void Pump(MessageQueue& queue, std::vector<QueueMessage>* threadMessages = nullptr) {
    QueueMessage m;
    while (queue.Next(m) == 1) {
        if (m.Target == 0 && threadMessages) threadMessages->push_back(m);
        queue.Dispatch(m);
    }
}

TEST(MessageQueueTest, MessagesFromOtherThreadsArriveInOrderEvenBeforeTheWorkerRuns) {
    // The host makes the queue on one thread and runs it on the worker: a
    // control request may come before the worker has ever waited.
    auto queue = CreateMessageQueue();
    ASSERT_EQ(queue->Post(1025, -1, 0), 0);
    std::vector<QueueMessage> got;
    std::thread worker([&] { Pump(*queue, &got); });
    for (int i = 0; i < 100; ++i) queue->Post(1025, i, 0);
    queue->PostQuit();
    worker.join();
    ASSERT_EQ(got.size(), 101u);
    for (int i = -1; i < 100; ++i) EXPECT_EQ(got[i + 1].Param1, i);
}

TEST(MessageQueueTest, StopRequestIsNotStarvedByAFlood) {
    auto queue = CreateMessageQueue();
    LoopbackUdp s;
    for (int i = 0; i < 50; ++i) s.SendToSelf("x");
    int reads = 0;
    queue->RegisterSocket(s.Fd(), 1228, [&](unsigned, int64_t, int64_t) {
        s.ReadOne();
        if (++reads == 1) queue->PostQuit();
    });
    Pump(*queue);
    EXPECT_EQ(reads, 1);
}

TEST(MessageQueueTest, UnregisteringDuringDispatchStopsNotificationsAtOnce) {
    auto queue = CreateMessageQueue();
    LoopbackUdp a, b;
    for (int i = 0; i < 3; ++i) a.SendToSelf("a"), b.SendToSelf("b");
    const int aFd = a.Fd(), bFd = b.Fd();
    int calls = 0;
    auto alive = std::make_shared<int>(42);
    // The first handler to run unregisters both sockets, itself included,
    // and then still uses what it captured.
    auto stopAll = [&, alive](unsigned, int64_t, int64_t) {
        ++calls;
        queue->UnregisterSocket(aFd);
        queue->UnregisterSocket(bFd);
        b.Close();
        EXPECT_EQ(*alive, 42);
        queue->PostQuit();
    };
    queue->RegisterSocket(aFd, 1228, stopAll);
    queue->RegisterSocket(bFd, 1328, std::move(stopAll));  // the handlers hold the only copies
    alive.reset();
    Pump(*queue);
    EXPECT_EQ(calls, 1);
    // Registered again later, the socket is served again.
    queue->RegisterSocket(aFd, 1228, [&](unsigned, int64_t, int64_t) {
        ++calls;
        a.ReadOne();
        queue->PostQuit();
    });
    Pump(*queue);
    EXPECT_EQ(calls, 2);
}

TEST(MessageQueueDeathTest, OwningThreadCallsFromAnotherThreadEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::function<void(MessageQueue&)> calls[] = {
        [](MessageQueue& q) { QueueMessage m; q.Next(m); },
        [](MessageQueue& q) { q.Dispatch(QueueMessage{}); },
        [](MessageQueue& q) { q.RegisterSocket(0, 1228, [](unsigned, int64_t, int64_t) {}); },
        [](MessageQueue& q) { q.UnregisterSocket(0); },
    };
    for (const auto& call : calls) {
        EXPECT_DEATH({
            auto queue = CreateMessageQueue();
            queue->PostQuit();
            QueueMessage m;
            if (queue->Next(m) != 0) return;  // this thread owns the queue now
            std::thread([&] { call(*queue); }).join();
        }, "owning thread");
    }
}

}  // namespace
}  // namespace quorvel::platform
