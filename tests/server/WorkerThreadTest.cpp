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
class TCountingRoom {
public:
    TCountingRoom(size_t limit, milliseconds work) : queue_(limit), work_(work) {}
    ~TCountingRoom() { thread_.Stop(steady_clock::now()); }

    bool Post(int item) {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        if (!queue_.Push(item, 1)) return false;
        thread_.StartLocked();
        thread_.WakeLocked();
        return true;
    }
    void Stop(steady_clock::time_point deadline) { thread_.Stop(deadline); }
    bool WaitIdle(milliseconds patience) {
        return thread_.WaitIdle(steady_clock::now() + patience, [this] { return queue_.Empty() && !busy_; });
    }
    std::vector<int> Done() {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        return done_;
    }
    TWorkerThread& Thread() { return thread_; }

private:
    void Run(TWorkerThread::TLock& lock) {
        for (;;) {
            while (!thread_.StoppingLocked() && queue_.Empty()) thread_.SleepLocked(lock, TWorkerThread::TTime::max());
            if (queue_.Empty() || (thread_.StoppingLocked() && steady_clock::now() >= thread_.DeadlineLocked())) return;
            const int item = queue_.Pop();
            busy_ = true;
            lock.unlock();
            thread_.CheckOnThread("TCountingRoom::Run");
            std::this_thread::sleep_for(work_);
            lock.lock();
            busy_ = false;
            done_.push_back(item);
            thread_.NotifyIdleLocked();
        }
    }

    TBoundedQueue<int> queue_;
    milliseconds work_;
    bool busy_ = false;
    std::vector<int> done_;
    TWorkerThread thread_{[this](TWorkerThread::TLock& lock) { Run(lock); }};
};

TEST(WorkerThread, OrderDeadlineAndRestart) {
    const struct {
        const char* name;
        int posts;
        milliseconds work, deadline;
        bool all;  // every item done by the stop
    } cases[] = {
        {"a stop with time to spare drains in order", 200, milliseconds(0), milliseconds(10000), true},
        {"a stop under load keeps its deadline", 1000, milliseconds(2), milliseconds(100), false},
        {"a deadline already past stops after the item under way", 50, milliseconds(20), milliseconds(0), false},
    };
    for (const auto& c : cases) {
        TCountingRoom room(1000, c.work);
        for (int i = 0; i < c.posts; ++i) ASSERT_TRUE(room.Post(i)) << c.name;
        const auto start = steady_clock::now();
        room.Stop(start + c.deadline);
        const auto took = steady_clock::now() - start;
        const std::vector<int> done = room.Done();
        for (size_t i = 0; i < done.size(); ++i) ASSERT_EQ(done[i], static_cast<int>(i)) << c.name;
        EXPECT_EQ(done.size() == static_cast<size_t>(c.posts), c.all) << c.name << ": " << done.size();
        if (!c.all) {
            EXPECT_LT(took, c.deadline + c.work + milliseconds(500)) << c.name;
        }
        // A post after the stop starts a new thread and is done in turn.
        ASSERT_TRUE(room.Post(-1)) << c.name;
        ASSERT_TRUE(room.WaitIdle(milliseconds(10000))) << c.name;
        EXPECT_EQ(room.Done().back(), -1) << c.name;
    }
}

TEST(WorkerThread, TheQueueBoundCountsCostAndReservations) {
    TBoundedQueue<int> queue(10);
    EXPECT_TRUE(queue.Push(1, 4));
    EXPECT_TRUE(queue.Reserve(5));
    EXPECT_FALSE(queue.Push(2, 2)) << "4 queued and 5 reserved leave room for 1";
    EXPECT_FALSE(queue.Reserve(2));
    queue.PushAnyway(3, 0);  // the reserved item arrives
    queue.GrowBack(3);       // and grows past the bound, as an urgent line may
    EXPECT_EQ(queue.Used(), 12u);
    EXPECT_EQ(queue.Room(), 0u);
    EXPECT_EQ(queue.Pop(), 1);
    EXPECT_EQ(queue.Used(), 8u);
    queue.Release(5);
    EXPECT_EQ(queue.Room(), 7u);
    EXPECT_EQ(queue.Pop(), 3);
    EXPECT_TRUE(queue.Empty());
    queue.Release(100);  // never below nothing
    EXPECT_EQ(queue.Used(), 0u);
}

TEST(WorkerThreadDeathTest, AThreadOnlyMemberCalledElsewhereAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TCountingRoom room(10, milliseconds(0));
    EXPECT_DEATH(room.Thread().CheckOnThread("TCountingRoom::Run"), "TCountingRoom::Run called off its own thread");
}

}  // namespace
}  // namespace quorvel
