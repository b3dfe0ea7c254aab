#include "server/StatsTimer.h"

#include <algorithm>

namespace quorvel {

TStatsTimer::~TStatsTimer() { Stop(); }

void TStatsTimer::Add(std::chrono::milliseconds period, TJob job) {
    if (Running() || period.count() <= 0 || !job) return;
    jobs_.push_back(TEntry{period, {}, std::move(job)});
}

bool TStatsTimer::Start() {
    if (Running()) return true;
    if (jobs_.empty()) return false;
    const auto now = std::chrono::steady_clock::now();
    for (TEntry& entry : jobs_) entry.Next = now + entry.Period;
    stopRequested_ = false;
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        // Statistics are a convenience: the server serves without them.
        return false;
    }
    return true;
}

void TStatsTimer::Stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stopRequested_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    jobs_.clear();
}

void TStatsTimer::Run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        auto next = jobs_.front().Next;
        for (const TEntry& entry : jobs_) next = std::min(next, entry.Next);
        if (wake_.wait_until(guard, next, [this] { return stopRequested_; })) return;
        // The jobs run unlocked so that a stop request is taken at once and
        // waits only for the job in progress.
        guard.unlock();
        for (TEntry& entry : jobs_) {
            const auto now = std::chrono::steady_clock::now();
            if (entry.Next > now) continue;
            // Ticks stay on the grid laid at Start, so lines do not drift.
            while (entry.Next <= now) entry.Next += entry.Period;
            {
                std::lock_guard<std::mutex> check(lock_);
                if (stopRequested_) return;
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
