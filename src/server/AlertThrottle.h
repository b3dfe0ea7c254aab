#pragma once
// The storm guard of the keyword alerts. Within an interval after a mail for
// one keyword and address, further matches of that pair are held back and
// counted; the next mail for the pair carries the count and the times of the
// first and the last held match. Known limit: matches held back after the
// last mail of a pair reach no mail until the pair matches again after its
// interval; until then they are in the counters and the operation log only.
// Pure: every reading of a clock comes in as an argument. One thread only
// (the thread that decides the mails); nothing locks.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Clock.h"

namespace quorvel {

// Matches held back since the last mail of one keyword and address.
struct THeldAlerts {
    uint64_t Count = 0;
    platform::LocalTime First{};
    platform::LocalTime Last{};
};

class TAlertThrottle {
public:
    using TTimePoint = std::chrono::steady_clock::time_point;

    // Keywords times addresses come from the configuration, so a few hundred
    // pairs is already a big one; the cap only guards against a pathological
    // configuration.
    static constexpr std::size_t kDefaultMaxKeys = 4096;

    explicit TAlertThrottle(int64_t intervalSeconds = 0, std::size_t maxKeys = kDefaultMaxKeys);

    // 0 (or less) switches the guard off: every match is mailed and nothing
    // is kept.
    void SetInterval(int64_t seconds);
    int64_t IntervalSeconds() const { return intervalSeconds_; }
    bool Enabled() const { return intervalSeconds_ > 0; }

    // True: mail now, and *held (when given) receives what was held back
    // since the pair's last mail (Count 0 when nothing). False: the match is
    // held back and counted; *held then receives the running count, so that
    // the caller can tell the first held match (Count 1) of an interval.
    // A pair that finds no room under the cap is mailed, never held: an alert
    // is not lost for want of memory.
    bool Admit(std::string_view keyword, std::string_view address, TTimePoint now,
               const platform::LocalTime& wallNow, THeldAlerts* held);

    // The mail queue has no room for this match: it is held back and counted
    // as within an interval (*held receives the running count), but starts
    // no interval, so the pair's next match with room is mailed and carries
    // it. False when the guard is off or the pair finds no room under the
    // cap: then nothing remembers the match.
    bool Hold(std::string_view keyword, std::string_view address, TTimePoint now,
              const platform::LocalTime& wallNow, THeldAlerts* held);

    // Pairs remembered at the moment.
    std::size_t Size() const { return entries_.size(); }

private:
    struct TEntry {
        TTimePoint MailedAt;
        THeldAlerts Held;
        bool Mailed = true;  // false: only held for want of room, no interval runs
    };

    // The pair's entry, made when missing; null when the cap leaves no room.
    TEntry* Find(std::string_view keyword, std::string_view address, TTimePoint now, bool* made);
    // *held emptied, then the pair's entry; null when the guard is off or
    // the cap leaves no room.
    TEntry* Prepare(std::string_view keyword, std::string_view address, TTimePoint now, THeldAlerts* held,
                    bool* made);

    // Forgets pairs whose interval is over and that hold nothing back: the
    // next match of such a pair is mailed anyway.
    void Expire(TTimePoint now);

    int64_t intervalSeconds_;
    std::size_t maxKeys_;
    std::unordered_map<std::string, TEntry> entries_;
    std::string key_;  // reused for every lookup
};

}  // namespace quorvel
