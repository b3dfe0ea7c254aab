// The thread skeleton under a small room of its own: order of the work,
// the queue's bound, a stop under load that keeps its deadline, a start
// after a stop, and the owner check.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "server/WorkerThread.h"

namespace quorvel {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Works through its queue in order, each item taking `work`; a stop ends it
// once the queue is empty or the deadline has passed.
struct TCountingRoom {
    explicit TCountingRoom(milliseconds work) : work_(work) {}
    ~TCountingRoom() { thread_.Stop(steady_clock::now()); }

    bool Post(int item) {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        queue_.PushAnyway(item, 1);
        thread_.WakeLocked();
        return thread_.StartLocked();
    }
    void Run(TWorkerThread::TLock& lock) {
        for (;;) {
            while (!thread_.StoppingLocked() && queue_.Empty()) thread_.SleepLocked(lock, TWorkerThread::TTime::max());
            if (queue_.Empty() || (thread_.StoppingLocked() && steady_clock::now() >= thread_.DeadlineLocked())) return;
            const int item = queue_.Pop();
            lock.unlock();
            thread_.CheckOnThread("TCountingRoom::Run");
            std::this_thread::sleep_for(work_);
            lock.lock();
            done_.push_back(item);
            thread_.NotifyIdleLocked();
        }
    }

    TBoundedQueue<int> queue_{1000};
    milliseconds work_;
    std::vector<int> done_;
    TWorkerThread thread_{[this](TWorkerThread::TLock& lock) { Run(lock); }};
};

TEST(WorkerThread, OrderDeadlineRestartAndOwner) {
    const struct { int posts; milliseconds work, deadline; bool all; } cases[] = {
        {200, milliseconds(0), milliseconds(10000), true},  // time to spare: drained in order
        {1000, milliseconds(2), milliseconds(100), false},  // under load: the deadline holds
        {50, milliseconds(20), milliseconds(0), false},     // past already: the item under way ends it
    };
    for (const auto& c : cases) {
        TCountingRoom room(c.work);
        for (int i = 0; i < c.posts; ++i) ASSERT_TRUE(room.Post(i));
        const auto start = steady_clock::now();
        room.thread_.Stop(start + c.deadline);
        EXPECT_LT(steady_clock::now() - start, c.deadline + c.work + milliseconds(500)) << c.posts;
        const std::vector<int> done = room.done_;  // the thread has ended: no lock needed
        for (size_t i = 0; i < done.size(); ++i) ASSERT_EQ(done[i], static_cast<int>(i)) << c.posts;
        EXPECT_EQ(done.size() == static_cast<size_t>(c.posts), c.all) << c.posts << ": " << done.size();
        ASSERT_TRUE(room.Post(-1));
        EXPECT_TRUE(room.thread_.WaitIdle(steady_clock::now() + milliseconds(10000),
                                          [&room] { return !room.done_.empty() && room.done_.back() == -1; }));
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TCountingRoom room(milliseconds(0));
    EXPECT_DEATH(room.thread_.CheckOnThread("TCountingRoom::Run"), "TCountingRoom::Run called off its own thread");
}

TEST(WorkerThread, TheQueueBoundCountsCostAndReservations) {
    TBoundedQueue<int> queue(10);
    EXPECT_TRUE(queue.Push(1, 4) && queue.Reserve(5));
    EXPECT_FALSE(queue.Push(2, 2)) << "4 queued and 5 reserved leave room for 1";
    queue.PushAnyway(3, 0);  // the reserved item arrives
    queue.GrowBack(3);       // and grows past the bound, as an urgent line may
    EXPECT_EQ(queue.Room(), 0u);
    EXPECT_EQ(queue.Pop(), 1);
    queue.Release(5);
    EXPECT_EQ(queue.Room(), 7u);
    EXPECT_EQ(queue.Pop(), 3);
    queue.Release(100);  // never below nothing
    EXPECT_TRUE(queue.Empty() && queue.Used() == 0);
}

}  // namespace
}  // namespace quorvel
