#pragma once
// Periodic jobs on a thread of their own (the thread skeleton's): reading
// counters and writing a statistics line must never hold up the thread that
// receives. Add, Start and Stop from the owner's thread; the jobs run on the
// timer's thread, one at a time.

#include <chrono>
#include <functional>
#include <vector>

#include "server/WorkerThread.h"

namespace quorvel {

class TStatsTimer {
public:
    using TJob = std::function<void()>;

    TStatsTimer();
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
    bool Running();

private:
    struct TEntry {
        std::chrono::milliseconds Period;
        std::chrono::steady_clock::time_point Next;
        TJob Job;
    };

    void Run(TWorkerThread::TLock& lock);

    // Filled and emptied only while no thread runs.
    std::vector<TEntry> jobs_;
    TWorkerThread thread_;
};

}  // namespace quorvel
