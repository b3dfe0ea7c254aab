// The housekeeper's room: retention passes and the free-space watch on a
// thread of their own, each action one operation-log line.

#include "server/LogRetention.h"

#include <algorithm>
#include <mutex>

#include "platform/DiskSpace.h"
#include "platform/FolderListing.h"
#include "platform/SystemError.h"
#include "server/LogCompression.h"
#include "server/ServerTexts.h"

namespace quorvel {

namespace {

using std::chrono::steady_clock;

constexpr uint64_t kMegabyte = 1024 * 1024;
// How soon a pass that found another instance's pass under way tries again.
constexpr std::chrono::seconds kTurnRetry{1};

std::mutex& PassTurn() {
    static std::mutex turn;
    return turn;
}

std::string ErrorDetail(int code) {
    switch (code) {
        case kCompressCancelled: return "stopped";
        case kCompressChanged: return "the file grew while it was read";
        case kCompressLibrary: return "zlib refused";
        default: return "error " + std::to_string(code) + ": " + platform::SystemErrorText(code);
    }
}

std::string Bytes(uint64_t count) { return std::to_string(count) + texts::kLogCountBytes; }

}  // namespace

void RunRetentionPass(const std::string& folder, const std::vector<std::string>& patterns,
                      const TRetentionSettings& settings, const platform::LocalTime& today,
                      const std::vector<std::string>& inUse, const std::function<bool()>& keepGoing,
                      const std::function<void(const std::string& line)>& report) {
    std::vector<platform::FolderEntry> listing;
    if (const int code = platform::ListFolder(folder, listing)) {
        report(texts::kLogRetentionListFailed + folder + " (" + ErrorDetail(code) + ")");
        return;
    }
    const TRetentionPlan plan = PlanRetention(patterns, listing, today, settings, inUse);
    for (const platform::FolderEntry& entry : plan.Delete) {
        if (keepGoing && !keepGoing()) return;
        if (const int code = platform::RemoveFile(folder + entry.Name)) {
            report(texts::kLogRetentionDeleteFailed + entry.Name + " (" + ErrorDetail(code) + ")");
        } else {
            report(texts::kLogRetentionDeleted + entry.Name + " (" + Bytes(entry.Size) + ")");
        }
    }
    for (const platform::FolderEntry& entry : plan.Compress) {
        if (keepGoing && !keepGoing()) return;
        TCompressOutcome outcome;
        const int code = CompressLogFile(folder + entry.Name, keepGoing, outcome);
        if (code == kCompressCancelled) return;
        if (code != 0) {
            report(texts::kLogCompressFailed + entry.Name + " (" + outcome.Step + ", " + ErrorDetail(code) + ")");
        } else {
            report(texts::kLogCompressed + entry.Name + " (" + Bytes(outcome.OriginalBytes) + texts::kLogCompressedTo +
                   Bytes(outcome.CompressedBytes) + ")");
        }
    }
}

TDiskWatch::TVerdict TDiskWatch::Check(uint64_t freeBytes, TTime now) {
    TVerdict verdict;
    if (floor_ == 0) return verdict;
    // Back only with some room above the floor, so that a disk that hovers
    // at it does not fill the log with lines.
    const uint64_t back = floor_ + std::max<uint64_t>(floor_ / 20, kMegabyte);
    if (!low_ && freeBytes < floor_) {
        low_ = true;
        verdict.WentLow = true;
    } else if (low_ && freeBytes >= back) {
        low_ = false;
        verdict.CameBack = true;
        return verdict;
    }
    if (low_ && (!mailed_ || now - lastMail_ >= kMailInterval)) {
        verdict.Mail = true;
        mailed_ = true;
        lastMail_ = now;
    }
    return verdict;
}

THousekeeper::THousekeeper() : thread_([this](TWorkerThread::TLock& lock) { Run(lock); }) {}

THousekeeper::~THousekeeper() { Stop(); }

bool THousekeeper::Start(THousekeeping job) {
    Stop();
    const TRetentionSettings& settings = job.Settings;
    const bool retention = settings.KeepDays > 0 || settings.CompressAfterDays > 0;
    if (retention && job.Report) {
        for (const std::string& pattern : job.Patterns) {
            if (!TDatedPattern(pattern).Dated()) job.Report(texts::kLogRetentionNoDate + pattern);
        }
    }
    if (!retention && settings.MinFreeMB <= 0) return false;
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    job_ = std::move(job);
    retention_ = retention;
    watch_ = TDiskWatch(settings.MinFreeMB > 0 ? static_cast<uint64_t>(settings.MinFreeMB) * kMegabyte : 0);
    nextDisk_ = nextPass_ = steady_clock::now();
    diskUnknown_ = false;
    return thread_.StartLocked();
}

void THousekeeper::Stop() { thread_.Stop(steady_clock::now()); }

bool THousekeeper::KeepGoing() {
    {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        if (thread_.StoppingLocked()) return false;
    }
    if (job_.Settings.MinFreeMB > 0 && steady_clock::now() >= nextDisk_) CheckDisk();
    return true;
}

void THousekeeper::CheckDisk() {
    thread_.CheckOnThread("THousekeeper::CheckDisk");
    nextDisk_ = steady_clock::now() + kDiskInterval;
    uint64_t free = 0;
    if (const int code = platform::FreeSpace(job_.Folder, free)) {
        // Once for a run of failures, not every few seconds.
        if (!diskUnknown_ && job_.Report) {
            job_.Report(texts::kLogDiskUnknown + job_.Folder + " (" + ErrorDetail(code) + ")");
        }
        diskUnknown_ = true;
        return;
    }
    diskUnknown_ = false;
    const TDiskWatch::TVerdict verdict = watch_.Check(free, steady_clock::now());
    if (!verdict.WentLow && !verdict.Mail && !verdict.CameBack) return;
    const std::string line = std::string(verdict.CameBack ? texts::kLogDiskBack : texts::kLogDiskLow) +
                             std::to_string(free / kMegabyte) + texts::kLogDiskFloor +
                             std::to_string(job_.Settings.MinFreeMB) + " MB)";
    if ((verdict.WentLow || verdict.CameBack) && job_.Report) job_.Report(line);
    if (verdict.WentLow && job_.SystemLog) job_.SystemLog(line);
    if (verdict.Mail && job_.Mail) job_.Mail(line);
}

void THousekeeper::Pass() {
    thread_.CheckOnThread("THousekeeper::Pass");
    // Instances may share the folder and its files (by default they all
    // do): one pass at a time in the whole process, so that two never
    // compress one file at once. The one that waits keeps watching its disk
    // and hears its stop.
    std::unique_lock<std::mutex> turn(PassTurn(), std::try_to_lock);
    if (!turn.owns_lock()) {
        nextPass_ = steady_clock::now() + kTurnRetry;
        return;
    }
    const platform::LocalTime today = job_.Clock();
    const std::vector<std::string> inUse = job_.InUse ? job_.InUse(today) : std::vector<std::string>{};
    RunRetentionPass(job_.Folder, job_.Patterns, job_.Settings, today, inUse, [this] { return KeepGoing(); },
                     [this](const std::string& line) {
                         if (job_.Report) job_.Report(line);
                     });
    nextPass_ = steady_clock::now() + kPassInterval;
}

void THousekeeper::Run(TWorkerThread::TLock& lock) {
    for (;;) {
        const auto now = steady_clock::now();
        auto wakeAt = now + kPassInterval;
        if (retention_) wakeAt = std::min(wakeAt, nextPass_);
        if (job_.Settings.MinFreeMB > 0) wakeAt = std::min(wakeAt, nextDisk_);
        while (!thread_.StoppingLocked() && steady_clock::now() < wakeAt) thread_.SleepLocked(lock, wakeAt, false);
        if (thread_.StoppingLocked()) return;
        lock.unlock();
        try {
            if (job_.Settings.MinFreeMB > 0 && steady_clock::now() >= nextDisk_) CheckDisk();
            if (retention_ && steady_clock::now() >= nextPass_) Pass();
        } catch (...) {
            // Nothing may end the thread early; the next turn tries again.
            nextPass_ = steady_clock::now() + kPassInterval;
        }
        lock.lock();
    }
}

}  // namespace quorvel
