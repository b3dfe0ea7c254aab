// The storm guard's table of keyword and address pairs: when a pair was
// last mailed, and what was held back since.

#include "server/AlertThrottle.h"

namespace quorvel {

TAlertThrottle::TAlertThrottle(int64_t intervalSeconds, std::size_t maxKeys)
    : intervalSeconds_(intervalSeconds > 0 ? intervalSeconds : 0), maxKeys_(maxKeys) {}

void TAlertThrottle::SetInterval(int64_t seconds) {
    intervalSeconds_ = seconds > 0 ? seconds : 0;
    if (intervalSeconds_ == 0) entries_.clear();
}

void TAlertThrottle::Expire(TTimePoint now) {
    const auto interval = std::chrono::seconds(intervalSeconds_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.Held.Count == 0 && now - it->second.MailedAt >= interval)
            it = entries_.erase(it);
        else
            ++it;
    }
}

bool TAlertThrottle::Admit(std::string_view keyword, std::string_view address, TTimePoint now,
                           const platform::LocalTime& wallNow, THeldAlerts* held) {
    if (held != nullptr) *held = THeldAlerts{};
    if (intervalSeconds_ <= 0) return true;

    // NUL cannot occur in a keyword (the search stops at the message's first
    // NUL), so it separates the two parts unambiguously.
    key_.assign(keyword);
    key_ += '\0';
    key_ += address;
    auto it = entries_.find(key_);
    if (it == entries_.end()) {
        if (entries_.size() >= maxKeys_) Expire(now);
        if (entries_.size() >= maxKeys_) return true;
        entries_.emplace(key_, TEntry{now, THeldAlerts{}});
        return true;
    }
    TEntry& entry = it->second;
    if (now - entry.MailedAt >= std::chrono::seconds(intervalSeconds_)) {
        if (held != nullptr) *held = entry.Held;
        entry.MailedAt = now;
        entry.Held = THeldAlerts{};
        return true;
    }
    if (entry.Held.Count == 0) entry.Held.First = wallNow;
    entry.Held.Last = wallNow;
    ++entry.Held.Count;
    if (held != nullptr) *held = entry.Held;
    return false;
}

}  // namespace quorvel
