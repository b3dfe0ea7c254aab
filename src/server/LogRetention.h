#pragma once
// The housekeeping of one instance's logs folder: deleting and compressing
// old logs (once at start and once an hour) and watching the free space
// (every few seconds), on a thread of its own, never on the receive path.
// Safe from any thread unless a member says otherwise.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "server/Retention.h"
#include "server/Settings.h"
#include "server/WorkerThread.h"

namespace quorvel {

// One pass over the folder (ending with the separator): every file the plan
// names is deleted or compressed, and each deletion, compression and failure
// becomes one line through `report`. keepGoing is asked between files and
// between pieces of a file; false ends the pass early.
void RunRetentionPass(const std::string& folder, const std::vector<std::string>& patterns,
                      const TRetentionSettings& settings, const platform::LocalTime& today,
                      const std::vector<std::string>& inUse, const std::function<bool()>& keepGoing,
                      const std::function<void(const std::string& line)>& report);

// Free space against its floor. Pure: the caller reads the space and the
// clock and acts on the answer.
class TDiskWatch {
public:
    using TTime = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::hours kMailInterval{1};

    struct TVerdict {
        bool WentLow = false;  // a line and a system-log entry
        bool Mail = false;     // a warning mail
        bool CameBack = false; // a line
    };

    // floorBytes 0: off, every verdict empty.
    explicit TDiskWatch(uint64_t floorBytes = 0) : floor_(floorBytes) {}
    TVerdict Check(uint64_t freeBytes, TTime now);
    bool Low() const { return low_; }

private:
    uint64_t floor_;
    bool low_ = false;
    bool mailed_ = false;
    TTime lastMail_{};
};

// What a housekeeper does, set before Start.
struct THousekeeping {
    std::string Folder;                 // the logs folder, ending with the separator
    std::vector<std::string> Patterns;  // the instance's two file name patterns
    TRetentionSettings Settings;
    // The local time (for the dates of names and the files in use).
    std::function<platform::LocalTime()> Clock = platform::LocalNow;
    // The names the instance writes at that time (no deletion or
    // compression may touch them).
    std::function<std::vector<std::string>(const platform::LocalTime&)> InUse;
    // An operation-log line (housekeeper thread; the start's own notes on
    // the thread that starts it).
    std::function<void(const std::string& line)> Report;
    // Low disk (housekeeper thread): the line, already reported, for the
    // system log when the space falls below the floor; and for a warning
    // mail, then and every kMailInterval while it stays low. None: not sent.
    std::function<void(const std::string& line)> SystemLog;
    std::function<void(const std::string& line)> Mail;
};

// The room of one instance's housekeeping.
class THousekeeper {
public:
    static constexpr std::chrono::hours kPassInterval{1};
    static constexpr std::chrono::seconds kDiskInterval{5};

    THousekeeper();
    ~THousekeeper();
    THousekeeper(const THousekeeper&) = delete;
    THousekeeper& operator=(const THousekeeper&) = delete;

    // Reports at once (on the caller's thread) each pattern that retention
    // cannot apply to; then runs the first pass at once, one an hour after
    // it, and checks the disk every kDiskInterval. False when no key asks
    // for any of it or the system refused the thread. Not while running.
    bool Start(THousekeeping job);
    // Ends a compression under way (its original stays) and the thread.
    void Stop();

private:
    void Run(TWorkerThread::TLock& lock);
    // Housekeeper thread: false once a stop is asked for; checks the disk
    // when its turn has come, so that a long compression does not blind the
    // watch.
    bool KeepGoing();
    void CheckDisk();
    void Pass();

    // Written by Start before the thread runs; then the thread's alone.
    THousekeeping job_;
    bool retention_ = false;
    TDiskWatch watch_;
    std::chrono::steady_clock::time_point nextDisk_{};
    std::chrono::steady_clock::time_point nextPass_{};
    bool diskUnknown_ = false;

    // Last: the thread ends before the members it uses.
    TWorkerThread thread_;
};

}  // namespace quorvel
