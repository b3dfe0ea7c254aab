#pragma once
// The service host: command line, install and remove, service and
// application mode, the worker thread with its message loop, state reports
// and the event log. One TDService per process.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServiceEnvironment.h"

namespace quorvel {

enum TServiceState : uint8_t {
    ssStopped,
    ssStartPending,
    ssStopPending,
    ssRunning,
};

// Thread message carrying a control request; the first parameter is the code.
inline constexpr unsigned CM_SERVICE_CONTROL = 1025;

// Writes entries to the system event log under one source name. Not
// thread-safe: TDService::LogEvent serialises its calls.
class TEventLogger {
public:
    TEventLogger(std::string sourceName, platform::SystemLog& log, bool echoToConsole);

    void WriteEvent(const std::string& text, int eventType, int category, uint32_t eventId);

    const std::string SourceName;

private:
    platform::SystemLog& log_;
    bool echoToConsole_;
    std::unique_ptr<platform::EventSource> eventSource_;
};

class TDService;

// The worker: runs OnStart, then the message loop. Created before it runs
// (so that control requests can be posted to its queue at once).
class TServiceThread {
public:
    TServiceThread(TDService& service, std::unique_ptr<platform::MessageQueue> queue);
    ~TServiceThread();
    TServiceThread(const TServiceThread&) = delete;
    TServiceThread& operator=(const TServiceThread&) = delete;

    // Starts the thread; throws std::system_error when the system refuses.
    void Resume();
    // Safe from any thread: the loop leaves before its next message.
    void Terminate();
    bool Terminated() const { return terminateRequested_.load(); }
    // Waits until the thread has ended (returns at once when it never ran).
    void WaitFor();

    // Safe from any thread. 0 or the system's error code.
    int PostControl(int code);
    // Worker thread only.
    platform::MessageQueue& Queue() { return *queue_; }

private:
    void Execute();

    TDService& service_;
    std::unique_ptr<platform::MessageQueue> queue_;
    std::atomic<bool> terminateRequested_{false};
    std::thread thread_;
};

class TDService {
public:
    explicit TDService(platform::ServiceEnvironment environment = platform::DefaultServiceEnvironment());
    ~TDService();
    TDService(const TDService&) = delete;
    TDService& operator=(const TDService&) = delete;

    std::string ServiceName;
    std::string DisplayName;   // Shift_JIS
    std::string Description;   // Shift_JIS
    // Printed for -HELP (standard output) and for an unknown word (standard
    // error, exit status 2); printed for -VERSION. Both end with a line end.
    std::string Usage;
    std::string Version;
    // Handed to the service entry on install (see platform::ServiceEntry).
    std::string DataFolder;
    std::string AccountName;

    // Hooks, called on the worker thread. An exception they raise is turned
    // into one event-log entry at the boundary of the activity.
    std::function<void(bool& Started)> OnStart;
    std::function<void(bool& Stopped)> OnStop;
    std::function<void()> OnShutdown;
    // A signal the service ignores because the service manager owns its life
    // (platform::kControlIgnoredSignal); gets the signal's number.
    std::function<void(int signalNumber)> OnIgnoredSignal;

    // Main thread. Arguments without the program name; returns the process
    // exit status (1 for a failed install/remove or an application-mode run
    // that did not end by a stop request, 2 for an unknown word).
    int RunCommandLine(const std::vector<std::string>& arguments);
    int RunCommandLine(int argc, char** argv);

    // Main thread. 0, or 1 after the failure has been shown.
    int RegisterService(bool install, bool silent);
    // 0, or the platform error code.
    int InstallService();
    int RemoveService();

    void RunWorker();
    // Safe from any thread.
    void SetState(TServiceState state);
    void SendStatus();
    // Worker thread only.
    bool HandleStop();
    void HandleShutdown();
    void MessageLoop();

    void ServiceMain();
    // Safe from any thread; drops the request when no worker exists.
    void ServiceControlHandler(int code);

    // Safe from any thread.
    void LogEvent(const std::string& text, int eventType, int category, uint32_t eventId);

    // Safe from any thread. What the service is doing, in one ASCII line:
    // while it runs as a service, shown by the service manager beside its
    // state (dropped once a stop is pending, so the stop's own state shows);
    // with atStop in application mode, printed on the console.
    void ReportActivity(const std::string& text, bool atStop);

    TServiceState CurrentState() const { return state_.load(); }
    bool RunAsApplication() const { return appMode_; }
    bool QuitAllowed() const { return quit_.load(); }

    // The description as stored with the service entry: at most 254 bytes,
    // cut before a double-byte character that would not fit whole.
    static std::string EntryDescription(const std::string& description);

private:
    void HandleControl(int code);

    platform::ServiceEnvironment environment_;
    std::atomic<TServiceState> state_{ssStopped};
    bool appMode_ = false;
    std::atomic<bool> quit_{false};

    std::unique_ptr<platform::StatusReporter> statusReporter_;
    std::mutex statusLock_;
    TServiceState lastReportedState_ = ssStartPending;
    int lastCheckPoint_ = 0;

    std::mutex workerLock_;
    std::unique_ptr<TServiceThread> worker_;

    std::mutex loggerLock_;
    std::unique_ptr<TEventLogger> logger_;
};

}  // namespace quorvel
