#pragma once
// The server object: owns the syslog instances read from "Quorvel.ini".
// Worker thread only.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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

    // Reads "Quorvel.ini" from the executable's folder and fills Services.
    // False when the file does not exist. Throws std::runtime_error when it
    // exists but is no readable regular file.
    bool LoadConfig();
    // The same for "Quorvel.ini" and "logs" in the given folder.
    bool LoadConfig(const std::string& folder);

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
    const TCounterSnapshot& StoppedTotals() const { return StopTotals; }

    TLogEvent LogEvent;
    TReportActivity ReportActivity;
    std::chrono::milliseconds StatusPeriod = kStatusPeriod;
    // Where the address resolution is looked up; tests force its answers.
    std::function<int()> AddrInfoLoader = platform::LoadAddressResolver;

private:
    // Fills the timer with the status job and each instance's statistics job.
    void StartStatistics();

    TCounterSnapshot StopTotals;
    std::string LastStatus;  // the statistics timer's thread only
    // Declared after Services: destroyed first, so no job outlives an instance.
    TStatsTimer Timer;
};

}  // namespace quorvel
