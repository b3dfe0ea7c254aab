#pragma once
// What one syslog instance has done since its start. Each counter has one
// writing thread and is read by any, so plain relaxed atomics suffice: a
// reader wants a recent figure, not a consistent cut across counters.

#include <atomic>
#include <cstdint>

namespace quorvel {

struct TCounterSnapshot {
    uint64_t Received = 0;         // datagrams and stream messages read, oversized ones included, empty ones not
    uint64_t Oversized = 0;        // datagrams longer than one read accepts
    uint64_t Written = 0;          // received-message lines in their file
    uint64_t DroppedKernel = 0;    // datagrams the system dropped (receive buffer full)
    uint64_t DroppedQueue = 0;     // lines not queued because the write queue was full
    uint64_t DroppedLocked = 0;    // lines lost after the lock retry budget was spent
    uint64_t DroppedWriteFailed = 0;  // lines whose write failed (full disk, refused path) or that could not be built
    uint64_t LockSkipped = 0;      // lines written without the file's lock, which another process held
    uint64_t KeywordMatches = 0;   // messages that matched a keyword
    uint64_t MailsSent = 0;
    uint64_t MailsFailed = 0;
    uint64_t MailsDroppedQueue = 0;   // alert mails not queued because the mail queue was full
    uint64_t MailsHeld = 0;        // alert mails held back by the storm guard
    // Stream reception (TCP and TLS) and the allow-list.
    uint64_t ReceivedTcp = 0;      // messages of plain TCP connections (in Received too)
    uint64_t ReceivedTls = 0;      // messages of TLS connections (in Received too)
    uint64_t SendersRefused = 0;   // datagrams from senders ALLOWEDSENDERS does not name, dropped
    uint64_t FramesCut = 0;        // stream messages cut at the largest size, the rest discarded
    uint64_t FramesTruncated = 0;  // stream messages cut short by the end of their connection
    uint64_t ConnectionsOpen = 0;  // connections open now
    uint64_t ConnectionsAccepted = 0;
    uint64_t ConnectionsRefused = 0;  // closed at accept: not allowed, or over TCPMAXCONNECTIONS
    uint64_t ConnectionsFailed = 0;   // ended by an error or a failed TLS handshake
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
    std::atomic<uint64_t> LockSkipped{0};
    std::atomic<uint64_t> KeywordMatches{0};
    std::atomic<uint64_t> MailsSent{0};
    std::atomic<uint64_t> MailsFailed{0};
    std::atomic<uint64_t> MailsDroppedQueue{0};
    std::atomic<uint64_t> MailsHeld{0};
    std::atomic<uint64_t> ReceivedTcp{0};
    std::atomic<uint64_t> ReceivedTls{0};
    std::atomic<uint64_t> SendersRefused{0};
    std::atomic<uint64_t> FramesCut{0};
    std::atomic<uint64_t> FramesTruncated{0};
    std::atomic<uint64_t> ConnectionsOpen{0};  // the only one that also goes down
    std::atomic<uint64_t> ConnectionsAccepted{0};
    std::atomic<uint64_t> ConnectionsRefused{0};
    std::atomic<uint64_t> ConnectionsFailed{0};

    static void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    static void Subtract(std::atomic<uint64_t>& counter, uint64_t n = 1) {
        counter.fetch_sub(n, std::memory_order_relaxed);
    }

    TCounterSnapshot Snapshot() const;
};

// Each live counter beside its snapshot field: the one list that snapshots
// and sums walk, so that a new counter cannot be left out of either.
struct TCounterField {
    std::atomic<uint64_t> TInstanceCounters::*Live;
    uint64_t TCounterSnapshot::*Value;
};
inline constexpr TCounterField kCounterFields[] = {
    {&TInstanceCounters::Received, &TCounterSnapshot::Received},
    {&TInstanceCounters::Oversized, &TCounterSnapshot::Oversized},
    {&TInstanceCounters::Written, &TCounterSnapshot::Written},
    {&TInstanceCounters::DroppedKernel, &TCounterSnapshot::DroppedKernel},
    {&TInstanceCounters::DroppedQueue, &TCounterSnapshot::DroppedQueue},
    {&TInstanceCounters::DroppedLocked, &TCounterSnapshot::DroppedLocked},
    {&TInstanceCounters::DroppedWriteFailed, &TCounterSnapshot::DroppedWriteFailed},
    {&TInstanceCounters::LockSkipped, &TCounterSnapshot::LockSkipped},
    {&TInstanceCounters::KeywordMatches, &TCounterSnapshot::KeywordMatches},
    {&TInstanceCounters::MailsSent, &TCounterSnapshot::MailsSent},
    {&TInstanceCounters::MailsFailed, &TCounterSnapshot::MailsFailed},
    {&TInstanceCounters::MailsDroppedQueue, &TCounterSnapshot::MailsDroppedQueue},
    {&TInstanceCounters::MailsHeld, &TCounterSnapshot::MailsHeld},
    {&TInstanceCounters::ReceivedTcp, &TCounterSnapshot::ReceivedTcp},
    {&TInstanceCounters::ReceivedTls, &TCounterSnapshot::ReceivedTls},
    {&TInstanceCounters::SendersRefused, &TCounterSnapshot::SendersRefused},
    {&TInstanceCounters::FramesCut, &TCounterSnapshot::FramesCut},
    {&TInstanceCounters::FramesTruncated, &TCounterSnapshot::FramesTruncated},
    {&TInstanceCounters::ConnectionsOpen, &TCounterSnapshot::ConnectionsOpen},
    {&TInstanceCounters::ConnectionsAccepted, &TCounterSnapshot::ConnectionsAccepted},
    {&TInstanceCounters::ConnectionsRefused, &TCounterSnapshot::ConnectionsRefused},
    {&TInstanceCounters::ConnectionsFailed, &TCounterSnapshot::ConnectionsFailed},
};

inline TCounterSnapshot TInstanceCounters::Snapshot() const {
    TCounterSnapshot s;
    for (const TCounterField& f : kCounterFields) s.*f.Value = (this->*f.Live).load(std::memory_order_relaxed);
    return s;
}

}  // namespace quorvel
