// The statistics timer: a grid of periodic jobs on the thread skeleton.

#include "server/StatsTimer.h"

#include <algorithm>

namespace quorvel {

TStatsTimer::TStatsTimer() : thread_([this](TWorkerThread::TLock& lock) { Run(lock); }) {}

TStatsTimer::~TStatsTimer() { Stop(); }

bool TStatsTimer::Running() {
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    return thread_.RunningLocked();
}

void TStatsTimer::Add(std::chrono::milliseconds period, TJob job) {
    if (Running() || period.count() <= 0 || !job) return;
    jobs_.push_back(TEntry{period, {}, std::move(job)});
}

bool TStatsTimer::Start() {
    if (Running()) return true;
    if (jobs_.empty()) return false;
    const auto now = std::chrono::steady_clock::now();
    for (TEntry& entry : jobs_) entry.Next = now + entry.Period;
    // Statistics are a convenience: without a thread the server serves
    // without them.
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    return thread_.StartLocked();
}

void TStatsTimer::Stop() {
    thread_.Stop(std::chrono::steady_clock::now());
    jobs_.clear();
}

void TStatsTimer::Run(TWorkerThread::TLock& lock) {
    for (;;) {
        auto next = jobs_.front().Next;
        for (const TEntry& entry : jobs_) next = std::min(next, entry.Next);
        while (!thread_.StoppingLocked() && std::chrono::steady_clock::now() < next) thread_.SleepLocked(lock, next);
        if (thread_.StoppingLocked()) return;
        // The jobs run unlocked so that a stop request is taken at once and
        // waits only for the job in progress.
        lock.unlock();
        for (TEntry& entry : jobs_) {
            const auto now = std::chrono::steady_clock::now();
            if (entry.Next > now) continue;
            // Ticks stay on the grid laid at Start, so lines do not drift.
            while (entry.Next <= now) entry.Next += entry.Period;
            {
                std::lock_guard<std::mutex> check(thread_.Mutex());
                if (thread_.StoppingLocked()) return;
            }
            try {
                entry.Job();
            } catch (...) {
                // One failed report must not end every later one.
            }
        }
        lock.lock();
    }
}

}  // namespace quorvel
