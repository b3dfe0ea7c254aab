#pragma once
// Periodic jobs on a thread of their own: reading counters and writing a
// statistics line must never hold up the thread that receives. Add, Start
// and Stop from the owner's thread; the jobs run on the timer's thread, one
// at a time.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvel {

class TStatsTimer {
public:
    using TJob = std::function<void()>;

    TStatsTimer() = default;
    ~TStatsTimer();
    TStatsTimer(const TStatsTimer&) = delete;
    TStatsTimer& operator=(const TStatsTimer&) = delete;

    // Before Start: runs job every period, the first time one period after
    // Start. A job that falls behind skips the missed turns instead of
    // running them back to back.
    void Add(std::chrono::milliseconds period, TJob job);
    // False when there is nothing to run or the system refused the thread;
    // the jobs then never run.
    bool Start();
    // Wakes the thread and waits for it; no job runs once this returns. The
    // job list is emptied, so the timer can be filled and started again.
    void Stop();
    bool Running() const { return thread_.joinable(); }

private:
    struct TEntry {
        std::chrono::milliseconds Period;
        std::chrono::steady_clock::time_point Next;
        TJob Job;
    };

    void Run();

    std::vector<TEntry> jobs_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopRequested_ = false;
    std::thread thread_;
};

}  // namespace quorvel
