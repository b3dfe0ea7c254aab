#include "server/StatsTimer.h"

#include <algorithm>

namespace quorvel {

TStatsTimer::~TStatsTimer() { Stop(); }

void TStatsTimer::Add(std::chrono::milliseconds period, TJob job) {
    if (Running() || period.count() <= 0 || !job) return;
    Jobs.push_back(TEntry{period, {}, std::move(job)});
}

bool TStatsTimer::Start() {
    if (Running()) return true;
    if (Jobs.empty()) return false;
    const auto now = std::chrono::steady_clock::now();
    for (TEntry& entry : Jobs) entry.Next = now + entry.Period;
    StopRequested = false;
    try {
        Thread = std::thread([this] { Run(); });
    } catch (...) {
        // Statistics are a convenience: the server serves without them.
        return false;
    }
    return true;
}

void TStatsTimer::Stop() {
    if (Thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(Lock);
            StopRequested = true;
        }
        Wake.notify_all();
        Thread.join();
    }
    Jobs.clear();
}

void TStatsTimer::Run() {
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        auto next = Jobs.front().Next;
        for (const TEntry& entry : Jobs) next = std::min(next, entry.Next);
        if (Wake.wait_until(guard, next, [this] { return StopRequested; })) return;
        // The jobs run unlocked so that a stop request is taken at once and
        // waits only for the job in progress.
        guard.unlock();
        for (TEntry& entry : Jobs) {
            const auto now = std::chrono::steady_clock::now();
            if (entry.Next > now) continue;
            // Ticks stay on the grid laid at Start, so lines do not drift.
            while (entry.Next <= now) entry.Next += entry.Period;
            {
                std::lock_guard<std::mutex> check(Lock);
                if (StopRequested) return;
            }
            try {
                entry.Job();
            } catch (...) {
                // One failed report must not end every later one.
            }
        }
        guard.lock();
    }
}

}  // namespace quorvel
