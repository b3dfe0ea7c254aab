#pragma once
// The server object: owns the syslog instances read from "Quorvel.ini".
// Worker thread only.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/StartChecks.h"
#include "server/StatsTimer.h"
#include "server/SyslogServer.h"

namespace quorvel {

constexpr int kServiceSlots = 10;

// How often the live status line is offered to the service manager.
inline constexpr std::chrono::milliseconds kStatusPeriod{3000};

// Slot i holds instance number i + 1; an empty slot means no instance.
using TSyslogServiceList = std::array<std::unique_ptr<TSyslogService>, kServiceSlots>;

class TSysLogServer {
public:
    // An entry of the system event log: text, type, category, event ID (the
    // service host's LogEvent).
    using TLogEvent = std::function<void(const std::string& text, int eventType, int category, uint32_t eventId)>;
    // The status line of every instance together (Statistics.h): while
    // running from the statistics timer's thread, whenever it changed; once
    // more with atStop after a successful stop, on the worker thread.
    using TReportActivity = std::function<void(const std::string& text, bool atStop)>;

    explicit TSysLogServer(TLogEvent logEvent = {});
    ~TSysLogServer();
    TSysLogServer(const TSysLogServer&) = delete;
    TSysLogServer& operator=(const TSysLogServer&) = delete;

    TSyslogServiceList Services;

    // Reads "Quorvel.ini" from the executable's folder and fills Services,
    // StartProblems (ports that are no port) and ConfigNotes. False when the
    // file does not exist. Throws std::runtime_error when it exists but is no
    // readable regular file or is UTF-16.
    bool LoadConfig();
    // The same for "Quorvel.ini" and "logs" in the given folder.
    bool LoadConfig(const std::string& folder);
    // The same from the file's bytes, with the logs in logsFolder (ending in
    // the separator); the folder is neither made nor looked at.
    void LoadConfigText(std::string_view bytes, const std::string& logsFolder);

    // Adds the log-file problems of every instance to StartProblems (names
    // outside the logs folder, files that do not open for append).
    void CheckServices();

    // Settings that keep the server from starting; DoServiceStart reports
    // each and fails the start without waiting for anything.
    std::vector<TStartProblem> StartProblems;
    // Notes on the configuration (unknown keys and the like); written at
    // start to the first instance's operation log and to standard error.
    std::vector<TConfigNote> ConfigNotes;

    // A signal that ends a console run came while running as a service:
    // ignored, and noted in the operation log.
    void NoteIgnoredSignal(int signalNumber);

    // The host's hooks; worker thread only.
    void DoServiceStart(bool& Started);
    void DoServiceStop(bool& Stopped);
    void DoServiceShutdown();

    // Starts every instance in slot order up to the first that fails; the
    // ones started before it stay started.
    bool StartServices();
    // Stops and frees every instance, after the statistics timer. False when
    // a stop raised an error; the slots of instances already freed are empty,
    // so a further call goes on with the rest and never touches a freed
    // instance.
    bool StopServices();

    // Every instance's counters together; safe from any thread while the
    // instances run (the slots change only while the timer is stopped).
    TCounterSnapshot Totals() const;
    // The counters of the instances freed by the last StopServices, together.
    // Several calls after a failed stop add up.
    const TCounterSnapshot& StoppedTotals() const { return stopTotals_; }

    TLogEvent LogEvent;
    TReportActivity ReportActivity;
    std::chrono::milliseconds StatusPeriod = kStatusPeriod;
    // Where the address resolution is looked up; tests force its answers.
    std::function<platform::ResolverStatus()> AddrInfoLoader = platform::LoadAddressResolver;

private:
    void ResetConfig();
    // The stream and allow-list keys of instance n; a bad value adds to
    // StartProblems.
    TReceptionSettings ReadReception(const TStringList& lines, int n);
    // Fills Services, StartProblems and ConfigNotes from the lines; true
    // when they hold an SMTP password.
    bool ApplyConfig(const TStringList& lines, const std::string& logsFolder);
    // The lines of a file saved as UTF-8 in Shift_JIS; the characters
    // Shift_JIS lacks are noted with their lines.
    void ConvertUtf8Config(TStringList& lines);
    // The port of instance n as configured (kNoInstance: no instance); a
    // value that is no port adds a start problem and gives the default.
    int32_t ReadInstancePort(const TStringList& lines, int n);
    // The instance whose operation log takes a note about the given instance
    // (0: about the server), or none when that log is itself the problem.
    TSyslogService* NoteTaker(int instance) const;
    // Fills the timer with the status job and each instance's statistics job.
    void StartStatistics();

    TCounterSnapshot stopTotals_;
    std::string lastStatus_;  // the statistics timer's thread only
    // Declared after Services: destroyed first, so no job outlives an instance.
    TStatsTimer timer_;
};

}  // namespace quorvel
