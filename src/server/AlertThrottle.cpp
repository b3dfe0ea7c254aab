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

TAlertThrottle::TEntry* TAlertThrottle::Find(std::string_view keyword, std::string_view address, TTimePoint now,
                                              bool* made) {
    // NUL cannot occur in a keyword (the search stops at the message's first
    // NUL), so it separates the two parts unambiguously.
    key_.assign(keyword);
    key_ += '\0';
    key_ += address;
    *made = false;
    auto it = entries_.find(key_);
    if (it != entries_.end()) return &it->second;
    if (entries_.size() >= maxKeys_) Expire(now);
    if (entries_.size() >= maxKeys_) return nullptr;
    *made = true;
    return &entries_.emplace(key_, TEntry{now, THeldAlerts{}}).first->second;
}

namespace {

void Count(THeldAlerts& held, const platform::LocalTime& wallNow) {
    if (held.Count == 0) held.First = wallNow;
    held.Last = wallNow;
    ++held.Count;
}

}  // namespace

TAlertThrottle::TEntry* TAlertThrottle::Prepare(std::string_view keyword, std::string_view address, TTimePoint now,
                                                THeldAlerts* held, bool* made) {
    if (held != nullptr) *held = THeldAlerts{};
    return intervalSeconds_ > 0 ? Find(keyword, address, now, made) : nullptr;
}

bool TAlertThrottle::Admit(std::string_view keyword, std::string_view address, TTimePoint now,
                           const platform::LocalTime& wallNow, THeldAlerts* held) {
    bool made = false;
    TEntry* entry = Prepare(keyword, address, now, held, &made);
    if (entry == nullptr || made) return true;
    if (!entry->Mailed || now - entry->MailedAt >= std::chrono::seconds(intervalSeconds_)) {
        if (held != nullptr) *held = entry->Held;
        entry->MailedAt = now;
        entry->Mailed = true;
        entry->Held = THeldAlerts{};
        return true;
    }
    Count(entry->Held, wallNow);
    if (held != nullptr) *held = entry->Held;
    return false;
}

bool TAlertThrottle::Hold(std::string_view keyword, std::string_view address, TTimePoint now,
                          const platform::LocalTime& wallNow, THeldAlerts* held) {
    bool made = false;
    TEntry* entry = Prepare(keyword, address, now, held, &made);
    if (entry == nullptr) return false;
    if (made) entry->Mailed = false;
    Count(entry->Held, wallNow);
    if (held != nullptr) *held = entry->Held;
    return true;
}

}  // namespace quorvel
