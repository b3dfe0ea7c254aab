#pragma once
// What one syslog instance has done since its start. Each counter has one
// writing thread and is read by any, so plain relaxed atomics suffice: a
// reader wants a recent figure, not a consistent cut across counters.

#include <atomic>
#include <cstdint>

namespace quorvel {

struct TCounterSnapshot {
    uint64_t Received = 0;         // datagrams read from the sockets, oversized ones included, empty ones not
    uint64_t Oversized = 0;        // datagrams longer than one read accepts
    uint64_t Written = 0;          // received-message lines in their file
    uint64_t DroppedKernel = 0;    // datagrams the system dropped (receive buffer full)
    uint64_t DroppedQueue = 0;     // lines not queued because the write queue was full
    uint64_t DroppedLocked = 0;    // lines lost after the lock retry budget was spent
    uint64_t DroppedWriteFailed = 0;  // lines whose write failed (full disk, refused path) or that could not be built
    uint64_t KeywordMatches = 0;   // messages that matched a keyword
    uint64_t MailsSent = 0;
    uint64_t MailsFailed = 0;
    uint64_t MailsDroppedQueue = 0;   // alert mails not queued because the mail queue was full
    uint64_t MailsHeld = 0;        // alert mails held back by the storm guard
};

class TInstanceCounters {
public:
    std::atomic<uint64_t> Received{0};
    std::atomic<uint64_t> Oversized{0};
    std::atomic<uint64_t> Written{0};
    std::atomic<uint64_t> DroppedKernel{0};
    std::atomic<uint64_t> DroppedQueue{0};
    std::atomic<uint64_t> DroppedLocked{0};
    std::atomic<uint64_t> DroppedWriteFailed{0};
    std::atomic<uint64_t> KeywordMatches{0};
    std::atomic<uint64_t> MailsSent{0};
    std::atomic<uint64_t> MailsFailed{0};
    std::atomic<uint64_t> MailsDroppedQueue{0};
    std::atomic<uint64_t> MailsHeld{0};

    static void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }

    TCounterSnapshot Snapshot() const {
        TCounterSnapshot s;
        s.Received = Received.load(std::memory_order_relaxed);
        s.Oversized = Oversized.load(std::memory_order_relaxed);
        s.Written = Written.load(std::memory_order_relaxed);
        s.DroppedKernel = DroppedKernel.load(std::memory_order_relaxed);
        s.DroppedQueue = DroppedQueue.load(std::memory_order_relaxed);
        s.DroppedLocked = DroppedLocked.load(std::memory_order_relaxed);
        s.DroppedWriteFailed = DroppedWriteFailed.load(std::memory_order_relaxed);
        s.KeywordMatches = KeywordMatches.load(std::memory_order_relaxed);
        s.MailsSent = MailsSent.load(std::memory_order_relaxed);
        s.MailsFailed = MailsFailed.load(std::memory_order_relaxed);
        s.MailsDroppedQueue = MailsDroppedQueue.load(std::memory_order_relaxed);
        s.MailsHeld = MailsHeld.load(std::memory_order_relaxed);
        return s;
    }
};

}  // namespace quorvel
