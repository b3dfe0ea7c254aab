#pragma once
// Running under the system's service manager: the control dispatcher, the
// stop signals and the state reports (the Windows SCM on Windows, systemd's
// notification protocol on Linux).

#include <functional>
#include <memory>
#include <string>

namespace quorvel::platform {

// Service states as the Windows service manager numbers them; the service
// accepts no pause, so it never enters the other three.
enum ServiceStateCode {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
};

// Control codes delivered to the control handler.
constexpr int kControlStop = 1;
constexpr int kControlShutdown = 5;
// A signal that ends a console run (a closed terminal's SIGHUP, SIGUSR1,
// SIGUSR2) came while running under the service manager, which owns the
// service's life: the code is this plus the signal's number. 128 starts the
// range Windows leaves to a service's own controls.
constexpr int kControlIgnoredSignal = 128;

// The error code reported when the process was not started by the service
// manager; chosen equal to Windows' ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// so the event reads the same on both systems.
constexpr int kErrorNotStartedByServiceManager = 1063;

// The requests a service state accepts, as the Windows service manager's
// mask bits; a stop request comes as kControlStop, shutdown as
// kControlShutdown.
constexpr int kAcceptStop = 1;
constexpr int kAcceptShutdown = 4;

// The state of the one service of this process, which ends without an exit
// code of its own.
struct ServiceStatus {
    int CurrentState = kServiceStopped;
    int ControlsAccepted = 0;   // kAccept... bits
    int CheckPoint = 0;
    int WaitHint = 0;   // milliseconds
};

// Called on a thread of the platform's, never inside a signal handler.
using ControlHandler = std::function<void(int code)>;

class StatusReporter {
public:
    virtual ~StatusReporter() = default;
    // Safe from any thread; the result is not examined by the host.
    virtual void Report(const ServiceStatus& status) = 0;
    // Safe from any thread. One ASCII line on what the running service is
    // doing, for a manager that shows one beside the state (systemd's
    // STATUS=); the Windows service manager has no such field.
    virtual void ReportText(const std::string& text) = 0;
};

class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    // Main thread. Runs serviceMain and delivers stop requests to handler
    // until serviceMain returns; then 0. Returns an error code at once when
    // the process was not started by the service manager.
    virtual int RunDispatcher(const std::string& serviceName, const std::function<void()>& serviceMain,
                              const ControlHandler& handler) = 0;
    // Main thread. Runs work with the console's interrupt and terminate
    // requests (and, on POSIX, a hang-up and the user signals) delivered to
    // handler as stop requests.
    virtual void RunApplication(const std::function<void()>& work, const ControlHandler& handler) = 0;
    // Inside serviceMain. 0 with reporter set, or the error code when no
    // report can reach the manager.
    virtual int OpenStatusReporter(const std::string& serviceName, std::unique_ptr<StatusReporter>& reporter) = 0;
};

}  // namespace quorvel::platform
