#include "server/LogRetention.h"

#include <algorithm>
#include <atomic>

#include "platform/DiskSpace.h"
#include "platform/FolderListing.h"
#include "platform/SystemError.h"
#include "server/LogCompression.h"
#include "server/ServerTexts.h"

namespace quorvel {

namespace {

using std::chrono::steady_clock;

constexpr uint64_t kMegabyte = 1024 * 1024;

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

bool THousekeeper::Start(THousekeeping job) {
    Stop();
    const bool retention = job.Settings.KeepDays > 0 || job.Settings.CompressAfterDays > 0;
    if (retention && job.Report) {
        for (const std::string& pattern : job.Patterns) {
            if (!TDatedPattern(pattern).Dated()) job.Report(texts::kLogRetentionNoDate + pattern);
        }
    }
    if (!retention && job.MinFreeMB <= 0) return false;
    job_ = std::move(job);
    watch_ = TDiskWatch(job_.MinFreeMB > 0 ? static_cast<uint64_t>(job_.MinFreeMB) * kMegabyte : 0);
    stopping_ = false;
    nextDisk_ = steady_clock::now();
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void THousekeeper::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool THousekeeper::KeepGoing() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (stopping_) return false;
    }
    // A long compression must not blind the watch.
    if (job_.MinFreeMB > 0 && steady_clock::now() >= nextDisk_) CheckDisk();
    return true;
}

void THousekeeper::CheckDisk() {
    nextDisk_ = steady_clock::now() + kDiskInterval;
    uint64_t free = 0;
    if (const int code = platform::FreeSpace(job_.Folder, free)) {
        // Once per run of failures, not every few seconds.
        if (!diskUnknown_ && job_.Report) job_.Report(texts::kLogDiskUnknown + job_.Folder + " (" + ErrorDetail(code) + ")");
        diskUnknown_ = true;
        return;
    }
    diskUnknown_ = false;
    const TDiskWatch::TVerdict verdict = watch_.Check(free, steady_clock::now());
    if (!verdict.WentLow && !verdict.Mail && !verdict.CameBack) return;
    const std::string line = std::string(verdict.CameBack ? texts::kLogDiskBack : texts::kLogDiskLow) +
                             std::to_string(free / kMegabyte) + texts::kLogDiskFloor +
                             std::to_string(job_.MinFreeMB) + " MB)";
    if ((verdict.WentLow || verdict.CameBack) && job_.Report) job_.Report(line);
    if (verdict.WentLow && job_.SystemLog) job_.SystemLog(line);
    if (verdict.Mail && job_.Mail) job_.Mail(line);
}

void THousekeeper::Run() {
    const bool retention = job_.Settings.KeepDays > 0 || job_.Settings.CompressAfterDays > 0;
    auto nextPass = steady_clock::now();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (stopping_) return;
        }
        try {
            if (job_.MinFreeMB > 0 && steady_clock::now() >= nextDisk_) CheckDisk();
            if (retention && steady_clock::now() >= nextPass) {
                const platform::LocalTime today = job_.Clock();
                const std::vector<std::string> inUse = job_.InUse ? job_.InUse(today) : std::vector<std::string>{};
                RunRetentionPass(job_.Folder, job_.Patterns, job_.Settings, today, inUse, [this] { return KeepGoing(); },
                                 [this](const std::string& line) {
                                     if (job_.Report) job_.Report(line);
                                 });
                nextPass = steady_clock::now() + kPassInterval;
            }
        } catch (...) {
            // Nothing may end the thread early; the next turn tries again.
            nextPass = steady_clock::now() + kPassInterval;
        }
        auto wakeAt = steady_clock::now() + kPassInterval;
        if (retention) wakeAt = std::min(wakeAt, nextPass);
        if (job_.MinFreeMB > 0) wakeAt = std::min(wakeAt, nextDisk_);
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait_until(lock, wakeAt, [this] { return stopping_; });
    }
}

}  // namespace quorvel
