#pragma once
// The log files of one instance, written on a thread of their own: reception
// hands lines over and never waits on a lock, a disk or a full queue.
//
// Two queues, the received-message log and the operation log, each bounded
// in bytes. Lines go out in the order they came, in chunks: consecutive lines
// for one file are appended with one open, lock, write and close, so no file
// stays open between chunks and no line is split. Instances that share a
// file write it in the order its lines were handed over, across writers. A file that another
// process has locked is waited for up to a second, then written without the
// lock until the lock is free again (one operation-log line per such hold);
// a file that cannot be opened is tried again every 500 ms up to the usual
// budget. Meanwhile the other queue and reception go on. Whatever cannot be queued or written is counted, and the
// counts reach the operation log at most once a minute.
// Safe from any thread unless a member says otherwise.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileAppend.h"
#include "server/AlertMailer.h"
#include "server/InstanceCounters.h"
#include "server/Settings.h"
#include "server/WorkerThread.h"

namespace quorvel {

class TLogWriter {
public:
    using TTime = std::chrono::steady_clock::time_point;
    using TClock = std::function<platform::LocalTime()>;
    // A keyword alert whose line has been written or given up.
    using TForward = std::function<void(TAlertJob job)>;

    enum TQueueKind { qkReceived = 0, qkOperation = 1 };

    // Bytes of lines waiting per queue: a few seconds of a flood, or a
    // 10-second lock of the file at a thousand messages a second.
    static constexpr size_t kReceivedLimit = 4u << 20;
    static constexpr size_t kOperationLimit = 256u << 10;
    // Bytes of one chunk, so that a long wait does not turn into one write
    // of everything.
    static constexpr size_t kChunkBytes = 128u << 10;
    static constexpr std::chrono::seconds kReportInterval{60};

    // An operation-log line its file did not take, with the reason: the
    // system log's, so that a full disk is seen somewhere. Writer thread.
    using TLost = std::function<void(const std::string& text)>;

    // files and clock belong to the instance and outlive the writer; they
    // name and stamp the operation-log lines.
    TLogWriter(TInstanceCounters& counters, const TFileSettings& files, const TClock& clock, TForward forward);
    // Stops as Stop with a short deadline.
    ~TLogWriter();
    TLogWriter(const TLogWriter&) = delete;
    TLogWriter& operator=(const TLogWriter&) = delete;

    // Queues whole lines for the file at path. bytes holds them back to back;
    // ends[i] is the offset just after line i. Lines that do not fit are
    // dropped from the back and counted, or with keepExcess left to the
    // caller (who holds its sender back until there is room). sender names
    // the first line in a report of a failed write. Returns the number of
    // lines queued.
    size_t Push(TQueueKind kind, const std::string& path, std::string_view bytes, const uint32_t* ends,
                size_t count, std::string_view sender = {}, bool keepExcess = false);
    // Bytes the received-message queue takes now.
    size_t ReceivedRoom();
    // One line; beyond the limit when urgent (the writer's own reports).
    bool PushLine(TQueueKind kind, const std::string& path, std::string_view line, bool urgent = false);
    // Queues "date time detail message" and CR LF for the operation log, at
    // the clock's reading and in the file it names. Throws only what the
    // clock throws.
    void LogOperation(std::string_view message, std::string_view detail, bool urgent = false);
    // Forwarded once every received line queued before it is written or
    // given up.
    void PushAlert(TAlertJob job);

    // Waits until everything queued is written or given up, or until the
    // deadline; true when nothing is left.
    bool WaitIdle(TTime deadline);
    // Writes what is queued until the deadline at most; what is still
    // waiting then is dropped and counted, the counts are reported, and the
    // thread ends. A later Push starts it again.
    void Stop(TTime deadline);

    // Set before the first push; none: such lines are only counted.
    TLost OperationLost;

private:
    struct TChunk {
        std::string Path;
        std::string Bytes;
        size_t Lines = 0;
        uint64_t Ticket = 0;  // its place among the chunks of its file, of every writer
        std::string Sender;
        std::vector<TAlertJob> Alerts;  // after the chunk's lines
    };
    struct TQueue {
        explicit TQueue(size_t limit) : Chunks(limit) {}
        // Bounded by the bytes of the queued chunks.
        TBoundedQueue<std::unique_ptr<TChunk>> Chunks;
        std::vector<std::unique_ptr<TChunk>> Spare;
        // Writer thread only:
        std::unique_ptr<TChunk> Current;  // taken, being written or waiting for a retry
        int Attempts = 0;
        TTime RetryAt{};
        TTime LockedSince{};  // when another process's lock first held the current chunk
        TTime NextWrite{};
    };
    struct TReported {
        TCounterSnapshot Counters;
        uint64_t OperationDropped = 0;
    };

    TChunk& AppendChunk(TQueue& queue, const std::string& path);  // lock held
    void StartLocked();                                            // lock held
    void Run(TWorkerThread::TLock& lock);
    // Takes the next chunk of each queue that has none under way; the time
    // a paused queue waits for, if any, lowers *next.
    void TakeChunksLocked(TTime now, TTime& next, bool& timedOnly);
    // The queue whose chunk is due now, or -1; a later retry lowers *next.
    int ReadyQueueLocked(size_t turn, TTime now, bool lastChance, TTime& next, bool& timedOnly) const;
    // One attempt at the queue's current chunk; true when it is finished.
    bool Attempt(TQueueKind kind, TQueue& queue, TTime now, bool lastChance);
    // After a failed append: gives up or plans the retry; true when the
    // chunk is finished.
    bool HandleFailure(TQueueKind kind, TQueue& queue, int code, platform::AppendLock mode, TTime now,
                       bool lastChance);
    void Finish(TQueue& queue);
    // code: the system's error, 0 when the file stayed locked.
    void GiveUp(TQueueKind kind, TQueue& queue, bool locked, int code);
    void ReportLostOperationLines(const TChunk& chunk, bool locked, int code);
    void ReportDrops(TTime now, bool always);
    // Writer thread: LogOperation, its failure swallowed.
    void LogQuietly(const std::string& message, std::string_view detail);

    TInstanceCounters& counters_;
    const TFileSettings& files_;
    const TClock& clock_;
    TForward forward_;

    TQueue queues_[2];
    size_t pending_ = 0;  // chunks queued or current
    // Operation-log lines lost; received lines are in the counters.
    std::atomic<uint64_t> operationDropped_{0};

    // Writer thread only.
    std::string refusedPath_;  // the received-log path last refused, reported once
    TReported reported_;
    TTime nextReport_{};

    // Last: the thread ends before the members it uses.
    TWorkerThread thread_;
};

}  // namespace quorvel
