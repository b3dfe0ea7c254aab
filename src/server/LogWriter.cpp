// The log writer's room: queueing lines in chunks, the writer thread's loop
// over the two queues, retries of a locked file, and the reports of what was
// lost.

#include "server/LogWriter.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "platform/SystemError.h"
#include "server/LogFile.h"
#include "server/ServerTexts.h"
#include "util/Buffers.h"

namespace quorvel {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr size_t kSpareChunks = 2;
// Operation-log lines of one lost chunk that reach the system log one by
// one; the rest are only counted there.
constexpr size_t kLostLinesShown = 20;

// The deadline of a writer that goes away with its instance.
constexpr milliseconds kDestructionGrace{2000};
// The pause after a write before a small chunk is written.
constexpr milliseconds kWritePacing{20};
// How long an idle writer sleeps before it looks at the drop counts again.
constexpr milliseconds kIdleTick{1000};

// Instances may share a file (by default they all share both). Their
// writers take turns at the files, so that one never finds the other's lock
// and waits half a second for it; only other processes' locks mean a wait.
std::mutex& FileTurn() {
    static std::mutex turn;
    return turn;
}

// Files whose lock another process holds, written without it until it is
// free again. Under FileTurn.
std::vector<std::string>& HeldFiles() {
    static std::vector<std::string> held;
    return held;
}

// Instances share files (by default all of them share both), and each has
// its own writer. So that a file holds its lines in the order they were
// handed over, whichever instance received them, every chunk takes a ticket
// of its file when it is made, and the file takes its chunks in ticket
// order: a writer whose chunk is not due yet waits for the writers ahead.
// Pushes are serialised by the worker thread anyway, so the order of the
// tickets is the order of reception.
class TFileOrder {
public:
    // A new chunk for the file: its ticket (0 for a chunk of no file).
    uint64_t Issue(const std::string& path) {
        if (path.empty()) return 0;
        std::lock_guard<std::mutex> lock(lock_);
        TSlot& slot = slots_[path];
        return ++slot.Issued;
    }
    // True while no later chunk of the file was made: only then may the
    // chunk take more lines.
    bool Latest(const std::string& path, uint64_t ticket) {
        std::lock_guard<std::mutex> lock(lock_);
        const auto it = slots_.find(path);
        return it != slots_.end() && it->second.Issued == ticket;
    }
    // True when every earlier chunk of the file is done.
    bool Due(const std::string& path, uint64_t ticket) {
        if (ticket == 0) return true;
        std::lock_guard<std::mutex> lock(lock_);
        const auto it = slots_.find(path);
        return it == slots_.end() || it->second.NextDue >= ticket;
    }
    // The chunk was written or given up; a stop at its deadline may finish
    // one before its turn.
    void Done(const std::string& path, uint64_t ticket) {
        if (ticket == 0) return;
        std::lock_guard<std::mutex> lock(lock_);
        const auto it = slots_.find(path);
        if (it == slots_.end()) return;
        TSlot& slot = it->second;
        if (ticket != slot.NextDue) {
            slot.DoneAhead.push_back(ticket);
            return;
        }
        ++slot.NextDue;
        for (auto ahead = slot.DoneAhead.begin(); ahead != slot.DoneAhead.end();) {
            if (*ahead != slot.NextDue) {
                ++ahead;
                continue;
            }
            ++slot.NextDue;
            slot.DoneAhead.erase(ahead);
            ahead = slot.DoneAhead.begin();
        }
        // Nothing outstanding: the file's entry goes, so that dated names do
        // not pile up.
        if (slot.NextDue > slot.Issued) slots_.erase(it);
    }

private:
    struct TSlot {
        uint64_t Issued = 0;
        uint64_t NextDue = 1;
        std::vector<uint64_t> DoneAhead;
    };
    std::mutex lock_;
    std::unordered_map<std::string, TSlot> slots_;
};

TFileOrder& FileOrder() {
    static TFileOrder order;
    return order;
}

// How often a writer looks whether its chunk's turn has come.
constexpr milliseconds kOrderPoll{1};

}  // namespace

TLogWriter::TLogWriter(TInstanceCounters& counters, const TFileSettings& files, const TClock& clock,
                       TForward forward)
    : counters_(counters),
      files_(files),
      clock_(clock),
      forward_(std::move(forward)),
      queues_{TQueue(kReceivedLimit), TQueue(kOperationLimit)},
      thread_([this](TWorkerThread::TLock& lock) { Run(lock); }) {}

TLogWriter::~TLogWriter() {
    Stop(steady_clock::now() + kDestructionGrace);
    // Chunks that no thread took (none could be started) must not keep
    // other writers of their files waiting.
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    for (TQueue& queue : queues_) {
        if (queue.Current) FileOrder().Done(queue.Current->Path, queue.Current->Ticket);
        while (!queue.Chunks.Empty()) {
            const std::unique_ptr<TChunk> chunk = queue.Chunks.Pop();
            FileOrder().Done(chunk->Path, chunk->Ticket);
        }
    }
}

TLogWriter::TChunk& TLogWriter::AppendChunk(TQueue& queue, const std::string& path) {
    std::unique_ptr<TChunk> chunk;
    if (!queue.Spare.empty()) {
        chunk = std::move(queue.Spare.back());
        queue.Spare.pop_back();
    } else {
        chunk = std::make_unique<TChunk>();
        chunk->Bytes.reserve(kChunkBytes);
    }
    chunk->Path = path;
    chunk->Ticket = FileOrder().Issue(path);
    ++pending_;
    queue.Chunks.PushAnyway(std::move(chunk), 0);
    return *queue.Chunks.Back();
}

void TLogWriter::StartLocked() {
    // Without a thread the lines wait for the next push or the stop.
    thread_.StartLocked();
    thread_.WakeLocked();
}

size_t TLogWriter::ReceivedRoom() {
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    return queues_[qkReceived].Chunks.Room();
}

size_t TLogWriter::Push(TQueueKind kind, const std::string& path, std::string_view bytes, const uint32_t* ends,
                        size_t count, std::string_view sender, bool keepExcess) {
    if (count == 0) return 0;
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    TQueue& queue = queues_[kind];
    const size_t room = queue.Chunks.Room();
    size_t fit = count;
    while (fit > 0 && ends[fit - 1] > room) --fit;

    size_t done = 0;
    size_t offset = 0;
    while (done < fit) {
        TChunk* back = queue.Chunks.Empty() ? nullptr : queue.Chunks.Back().get();
        if (back == nullptr || back->Path != path || !FileOrder().Latest(path, back->Ticket)) {
            back = &AppendChunk(queue, path);
        }
        const size_t base = back->Bytes.size();
        size_t take = 0;
        while (done + take < fit && base + (ends[done + take] - offset) <= kChunkBytes) ++take;
        if (take == 0) {
            if (base > 0) {
                AppendChunk(queue, path);
                continue;
            }
            take = 1;  // a line longer than a chunk goes alone
        }
        const size_t end = ends[done + take - 1];
        if (back->Lines == 0) back->Sender.assign(sender.data(), sender.size());
        back->Bytes.append(bytes.data() + offset, end - offset);
        back->Lines += take;
        queue.Chunks.GrowBack(end - offset);
        offset = end;
        done += take;
    }
    if (fit < count && !keepExcess) {
        if (kind == qkReceived) {
            TInstanceCounters::Add(counters_.DroppedQueue, count - fit);
        } else {
            operationDropped_ += count - fit;
        }
    }
    if (fit > 0) StartLocked();
    return fit;
}

bool TLogWriter::PushLine(TQueueKind kind, const std::string& path, std::string_view line, bool urgent) {
    const uint32_t end = static_cast<uint32_t>(line.size());
    if (!urgent) return Push(kind, path, line, &end, 1) == 1;
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    TQueue& queue = queues_[kind];
    TChunk& chunk = AppendChunk(queue, path);
    chunk.Bytes.assign(line.data(), line.size());
    chunk.Lines = 1;
    queue.Chunks.GrowBack(line.size());
    StartLocked();
    return true;
}

void TLogWriter::LogOperation(std::string_view message, std::string_view detail, bool urgent) {
    const platform::LocalTime now = clock_();
    std::string line = DateText(now) + " " + TimeText(now) + " ";
    line.append(detail).append(" ").append(message).append("\r\n");
    std::string path;
    BuildLogPath(path, files_.LogsFolder, files_.SystemLogName, now);
    PushLine(qkOperation, path, line, urgent);
}

void TLogWriter::PushAlert(TAlertJob job) {
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    TQueue& queue = queues_[qkReceived];
    // With nothing queued the alert still waits for the chunk being
    // written: it rides in a chunk of no lines.
    TChunk& back = queue.Chunks.Empty() ? AppendChunk(queue, std::string()) : *queue.Chunks.Back();
    back.Alerts.push_back(std::move(job));
    StartLocked();
}

bool TLogWriter::WaitIdle(TTime deadline) {
    return thread_.WaitIdle(deadline, [this] { return pending_ == 0; });
}

void TLogWriter::Stop(TTime deadline) { thread_.Stop(deadline); }

void TLogWriter::Finish(TQueue& queue) {
    std::unique_ptr<TChunk> chunk = std::move(queue.Current);
    FileOrder().Done(chunk->Path, chunk->Ticket);
    std::vector<TAlertJob> alerts = std::move(chunk->Alerts);
    chunk->Alerts.clear();
    for (TAlertJob& alert : alerts) {
        try {
            forward_(std::move(alert));
        } catch (...) {
        }
    }
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    if (queue.Spare.size() < kSpareChunks) {
        chunk->Bytes.clear();
        // A chunk that one huge line made large is not kept that large.
        ReleaseExcessCapacity(chunk->Bytes, 2 * kChunkBytes);
        chunk->Lines = 0;
        queue.Spare.push_back(std::move(chunk));
    }
    if (--pending_ == 0) thread_.NotifyIdleLocked();
}

void TLogWriter::GiveUp(TQueueKind kind, TQueue& queue, bool locked, int code) {
    const size_t lines = queue.Current->Lines;
    if (kind == qkOperation) {
        operationDropped_ += lines;
        if (OperationLost) ReportLostOperationLines(*queue.Current, locked, code);
    } else {
        TInstanceCounters::Add(locked ? counters_.DroppedLocked : counters_.DroppedWriteFailed, lines);
    }
}

void TLogWriter::ReportLostOperationLines(const TChunk& chunk, bool locked, int code) {
    // The operation log is where failures are reported; lines it cannot
    // take (a full disk, above all) go to the system log instead.
    const std::string reason = locked ? std::string(" (locked)") : platform::SystemErrorDetail(code);
    std::string_view rest = chunk.Bytes;
    size_t shown = 0;
    while (!rest.empty() && shown < kLostLinesShown) {
        const size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        try {
            OperationLost(texts::kEventOperationLogLost + chunk.Path + reason + ": " + std::string(line));
        } catch (...) {
        }
        ++shown;
    }
    if (shown < chunk.Lines) {
        try {
            OperationLost(texts::kEventOperationLogLost + chunk.Path + reason + ": +" +
                          std::to_string(chunk.Lines - shown));
        } catch (...) {
        }
    }
}

bool TLogWriter::Attempt(TQueueKind kind, TQueue& queue, TTime now, bool lastChance) {
    thread_.CheckOnThread("TLogWriter::Attempt");
    TChunk& chunk = *queue.Current;
    if (chunk.Lines == 0) return true;
    int code = 0;
    bool skipped = false;
    bool holdBegins = false;
    platform::AppendLock mode = platform::AppendLock::Required;
    {
        std::lock_guard<std::mutex> turn(FileTurn());
        // Another process's lock is waited for a moment, then passed: a
        // reader may hold up the lines, never cost them. Once passed, the
        // file is written at once, by every writer, for as long as the hold
        // lasts.
        std::vector<std::string>& held = HeldFiles();
        const auto known = std::find(held.begin(), held.end(), chunk.Path);
        const bool waited =
            queue.LockedSince != TTime{} && now - queue.LockedSince >= milliseconds(kLockWaitMilliseconds);
        if (known != held.end() || waited || lastChance) mode = platform::AppendLock::IfFree;
        code = AppendOnce(chunk.Path, chunk.Bytes, mode, &skipped);
        if (code == 0 && skipped && known == held.end()) {
            held.push_back(chunk.Path);
            holdBegins = true;
        } else if (code == 0 && !skipped && known != held.end()) {
            // The lock was free again: the hold is over, and the next one
            // is waited for and said anew.
            held.erase(known);
        }
    }
    if (code != 0) return HandleFailure(kind, queue, code, mode, now, lastChance);
    if (holdBegins) {
        try {
            LogOperation(texts::kLogLockSkipped + chunk.Path, "", true);
        } catch (...) {
        }
    }
    if (kind == qkReceived) {
        if (skipped) TInstanceCounters::Add(counters_.LockSkipped, chunk.Lines);
        TInstanceCounters::Add(counters_.Written, chunk.Lines);
        refusedPath_.clear();
    }
    return true;
}

void TLogWriter::LogQuietly(const std::string& message, std::string_view detail) {
    try {
        LogOperation(message, detail);
    } catch (...) {
        // The writer's own report must not cost the chunk it is about.
    }
}

bool TLogWriter::HandleFailure(TQueueKind kind, TQueue& queue, int code, platform::AppendLock mode, TTime now,
                               bool lastChance) {
    const TChunk& chunk = *queue.Current;
    const platform::AppendFailure failure = platform::AppendFailureOf(code);
    switch (failure) {
        case platform::AppendFailure::Refused:
            // Said once per path rather than once per chunk: a link left in
            // logs/ would otherwise double the operation log.
            GiveUp(kind, queue, false, code);
            if (kind == qkReceived && refusedPath_ != chunk.Path) {
                refusedPath_ = chunk.Path;
                LogQuietly(texts::kLogRefused + chunk.Path + platform::SystemErrorDetail(code), "");
            }
            return true;
        case platform::AppendFailure::WriteFailed:
            GiveUp(kind, queue, false, code);
            if (kind == qkReceived) {
                LogQuietly(std::string(texts::kLogProcessingFailed) + std::to_string(code) + ")", chunk.Sender);
            }
            return true;
        case platform::AppendFailure::NoFolder:
            GiveUp(kind, queue, false, code);
            return true;
        case platform::AppendFailure::Locked:
            if (mode == platform::AppendLock::Required) {
                if (queue.LockedSince == TTime{}) queue.LockedSince = now;
                queue.RetryAt = std::min(now + milliseconds(kLockPollMilliseconds),
                                         queue.LockedSince + milliseconds(kLockWaitMilliseconds));
                return false;
            }
            break;
        case platform::AppendFailure::OpenFailed:
            break;
    }
    // A file that another opener keeps from being opened at all (on Windows,
    // a handle that shares no writing), or one that cannot be opened for
    // now: both get the retry budget, and are told apart in the counts.
    if (++queue.Attempts >= kAppendAttempts || lastChance) {
        const bool locked = failure == platform::AppendFailure::Locked;
        GiveUp(kind, queue, locked, locked ? 0 : code);
        return true;
    }
    queue.RetryAt = now + milliseconds(kAppendRetryMilliseconds);
    return false;
}

void TLogWriter::ReportDrops(TTime now, bool always) {
    thread_.CheckOnThread("TLogWriter::ReportDrops");
    if (!always && now < nextReport_) return;
    TReported current;
    current.Counters = counters_.Snapshot();
    current.OperationDropped = operationDropped_.load();
    struct Line {
        const char* Text;
        uint64_t Now, Before;
        const char* Unit;
    } lines[] = {
        {texts::kLogLostKernel, current.Counters.DroppedKernel, reported_.Counters.DroppedKernel, texts::kLogCountMessages},
        {texts::kLogLostQueue, current.Counters.DroppedQueue, reported_.Counters.DroppedQueue, texts::kLogCountMessages},
        {texts::kLogLostLocked, current.Counters.DroppedLocked, reported_.Counters.DroppedLocked, texts::kLogCountMessages},
        {texts::kLogLostWriteFailed, current.Counters.DroppedWriteFailed, reported_.Counters.DroppedWriteFailed,
         texts::kLogCountMessages},
        {texts::kLogLostMails, current.Counters.MailsDroppedQueue, reported_.Counters.MailsDroppedQueue,
         texts::kLogCountMails},
        {texts::kLogLostOperation, current.OperationDropped, reported_.OperationDropped, texts::kLogCountLines},
    };
    bool any = false;
    for (const Line& line : lines) {
        if (line.Now == line.Before) continue;
        any = true;
        try {
            LogOperation(std::string(line.Text) + std::to_string(line.Now - line.Before) + line.Unit, "", true);
        } catch (...) {
        }
    }
    if (!any) return;
    reported_ = current;
    nextReport_ = now + kReportInterval;
}

void TLogWriter::TakeChunksLocked(TTime now, TTime& next, bool& timedOnly) {
    const bool stopping = thread_.StoppingLocked();
    for (TQueue& queue : queues_) {
        if (queue.Current || queue.Chunks.Empty()) continue;
        // Soon after a write, a chunk that is still small waits to fill
        // up: fewer, larger appends cost less per line.
        if (!stopping && now < queue.NextWrite && queue.Chunks.Size() == 1 &&
            queue.Chunks.Front()->Bytes.size() < kChunkBytes / 2) {
            next = std::min(next, queue.NextWrite);
            timedOnly = true;
            continue;
        }
        queue.Current = queue.Chunks.Pop();
        queue.Attempts = 0;
        queue.RetryAt = now;
        queue.LockedSince = TTime{};
    }
}

int TLogWriter::ReadyQueueLocked(size_t turn, TTime now, bool lastChance, TTime& next, bool& timedOnly) const {
    // The two queues take turns, so that a locked or busy file of one
    // never holds up the other.
    for (size_t k = 0; k < 2; ++k) {
        const size_t index = (turn + k) % 2;
        const TQueue& queue = queues_[index];
        if (!queue.Current) continue;
        if (queue.RetryAt > now && !lastChance) {
            next = std::min(next, queue.RetryAt);
            timedOnly = true;
            continue;
        }
        // A stop at its deadline writes what it has rather than lose it.
        if (lastChance || FileOrder().Due(queue.Current->Path, queue.Current->Ticket)) return static_cast<int>(index);
        next = std::min(next, now + kOrderPoll);
        timedOnly = true;
    }
    return -1;
}

void TLogWriter::Run(TWorkerThread::TLock& lock) {
    size_t turn = 0;
    bool finalReport = false;
    for (;;) {
        const TTime now = steady_clock::now();
        const bool stopping = thread_.StoppingLocked();
        const bool lastChance = stopping && now >= thread_.DeadlineLocked();
        TTime next = TTime::max();
        bool timedOnly = false;  // all that is left waits for a time, not for a push
        TakeChunksLocked(now, next, timedOnly);
        const int ready = ReadyQueueLocked(turn, now, lastChance, next, timedOnly);
        lock.unlock();
        // A stop reports once, at its end, whatever it gave up on.
        if (!stopping) ReportDrops(now, false);
        if (ready >= 0) {
            turn = static_cast<size_t>(ready) + 1;
            TQueue& queue = queues_[ready];
            if (Attempt(static_cast<TQueueKind>(ready), queue, now, lastChance)) {
                queue.NextWrite = now + kWritePacing;
                Finish(queue);
            }
            lock.lock();
            continue;
        }
        lock.lock();
        if (thread_.StoppingLocked() && pending_ == 0) {
            // What was lost in the last minute is reported before the end,
            // not a minute later; once, as those lines may be lost too.
            if (finalReport) return;
            finalReport = true;
            lock.unlock();
            ReportDrops(now, true);
            lock.lock();
            continue;
        }
        if (thread_.StoppingLocked()) next = std::min(next, thread_.DeadlineLocked());
        next = std::min(next, now + kIdleTick);
        thread_.SleepLocked(lock, next, !timedOnly);
    }
}

}  // namespace quorvel
