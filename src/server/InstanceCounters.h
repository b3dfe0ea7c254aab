#pragma once
// What one syslog instance has done since its start. Each counter has one
// writing thread and is read by any, so plain relaxed atomics suffice: a
// reader wants a recent figure, not a consistent cut across counters.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quorvel {

// Every counter of an instance, as live atomics or as plain figures.
template <class T>
struct TCounterSet {
    T Received{};            // datagrams and stream messages read, oversized ones included, empty ones not
    T Oversized{};           // datagrams longer than one read accepts
    T Written{};             // received-message lines in their file
    T DroppedKernel{};       // datagrams the system dropped (receive buffer full)
    T DroppedQueue{};        // lines not queued because the write queue was full
    T DroppedLocked{};       // lines lost after the lock retry budget was spent
    T DroppedWriteFailed{};  // lines whose write failed (full disk, refused path) or that could not be built
    T LockSkipped{};         // lines written without the file's lock, which another process held
    T KeywordMatches{};      // messages that matched a keyword
    T MailsSent{};
    T MailsFailed{};
    T MailsDroppedQueue{};   // alert mails not queued because the mail queue was full
    T MailsHeld{};           // alert mails held back by the storm guard
    // Stream reception (TCP and TLS) and the allow-list.
    T ReceivedTcp{};         // messages of plain TCP connections (in Received too)
    T ReceivedTls{};         // messages of TLS connections (in Received too)
    T SendersRefused{};      // datagrams from senders ALLOWEDSENDERS does not name, dropped
    T FramesCut{};           // stream messages cut at the largest size, the rest discarded
    T FramesTruncated{};     // stream messages cut short by the end of their connection
    T ConnectionsOpen{};     // connections open now: the only one that also goes down
    T ConnectionsAccepted{};
    T ConnectionsRefused{};  // closed at accept: not allowed, or over TCPMAXCONNECTIONS
    T ConnectionsFailed{};   // ended by an error or a failed TLS handshake

    // The one list of the counters that snapshots and sums walk, so that a
    // new counter cannot be left out of either.
    static constexpr T TCounterSet::*kFields[] = {
        &TCounterSet::Received,         &TCounterSet::Oversized,          &TCounterSet::Written,
        &TCounterSet::DroppedKernel,    &TCounterSet::DroppedQueue,       &TCounterSet::DroppedLocked,
        &TCounterSet::DroppedWriteFailed, &TCounterSet::LockSkipped,      &TCounterSet::KeywordMatches,
        &TCounterSet::MailsSent,        &TCounterSet::MailsFailed,        &TCounterSet::MailsDroppedQueue,
        &TCounterSet::MailsHeld,
        &TCounterSet::ReceivedTcp,      &TCounterSet::ReceivedTls,        &TCounterSet::SendersRefused,
        &TCounterSet::FramesCut,        &TCounterSet::FramesTruncated,    &TCounterSet::ConnectionsOpen,
        &TCounterSet::ConnectionsAccepted, &TCounterSet::ConnectionsRefused, &TCounterSet::ConnectionsFailed,
    };
};

using TCounterSnapshot = TCounterSet<uint64_t>;

class TInstanceCounters : public TCounterSet<std::atomic<uint64_t>> {
public:
    static void Add(std::atomic<uint64_t>& counter, uint64_t n = 1) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    static void Subtract(std::atomic<uint64_t>& counter, uint64_t n = 1) {
        counter.fetch_sub(n, std::memory_order_relaxed);
    }

    TCounterSnapshot Snapshot() const {
        TCounterSnapshot s;
        constexpr size_t count = sizeof kFields / sizeof kFields[0];
        for (size_t i = 0; i < count; ++i) s.*TCounterSnapshot::kFields[i] = (this->*kFields[i]).load(std::memory_order_relaxed);
        return s;
    }
};

}  // namespace quorvel
