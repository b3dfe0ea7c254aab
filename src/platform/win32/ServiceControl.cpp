#include "platform/ServiceControl.h"

#include <windows.h>

#include <atomic>
#include <thread>

#include "platform/Backends.h"

namespace quorvel::platform {

namespace {

// The service control manager calls plain functions without a context
// argument; one service runs per process, so its hooks live here.
const std::function<void()>* gServiceMain = nullptr;
std::atomic<const ControlHandler*> gHandler{nullptr};

void WINAPI ServiceMainProc(DWORD, LPSTR*) {
    if (gServiceMain != nullptr && *gServiceMain) (*gServiceMain)();
}

// Runs on the dispatcher's thread: hand the code on and return at once.
void WINAPI ControlHandlerProc(DWORD code) {
    const ControlHandler* handler = gHandler.load();
    if (handler != nullptr && *handler) (*handler)(static_cast<int>(code));
}

class ScmStatusReporter final : public StatusReporter {
public:
    explicit ScmStatusReporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
    void Report(const ServiceStatus& status) override {
        SERVICE_STATUS s{};
        s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        s.dwCurrentState = static_cast<DWORD>(status.CurrentState);
        s.dwControlsAccepted = static_cast<DWORD>(status.ControlsAccepted);
        s.dwWin32ExitCode = NO_ERROR;
        s.dwCheckPoint = static_cast<DWORD>(status.CheckPoint);
        s.dwWaitHint = static_cast<DWORD>(status.WaitHint);
        SetServiceStatus(handle_, &s);  // the host does not look at the result
    }
    // The service manager keeps a state and nothing else.
    void ReportText(const std::string&) override {}

private:
    // Not closed: a status handle lives until the process ends.
    SERVICE_STATUS_HANDLE handle_;
};

// Console stop requests in application mode.
std::atomic<const ControlHandler*> gConsoleHandler{nullptr};
HANDLE gWorkDone = nullptr;

BOOL WINAPI ConsoleHandlerProc(DWORD event) {
    const ControlHandler* handler = gConsoleHandler.load();
    if (handler == nullptr || !*handler) return FALSE;
    (*handler)(kControlStop);
    // Closing the console window ends the process as soon as this returns:
    // give the stop its few seconds to write its log lines first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (gWorkDone != nullptr) WaitForSingleObject(gWorkDone, 4500);
    }
    return TRUE;
}

class ScmServiceControl final : public ServiceControl {
public:
    int RunDispatcher(const std::string& serviceName, const std::function<void()>& serviceMain,
                      const ControlHandler& handler) override {
        gServiceMain = &serviceMain;
        gHandler = &handler;
        std::string name = serviceName;
        SERVICE_TABLE_ENTRYA table[2] = {{name.data(), ServiceMainProc}, {nullptr, nullptr}};
        // The dispatcher runs on a start thread of its own, so the main thread
        // only waits, as it does in application mode.
        DWORD error = 0;
        std::thread start([&] {
            if (!StartServiceCtrlDispatcherA(table)) error = GetLastError();
        });
        start.join();
        gHandler = nullptr;
        gServiceMain = nullptr;
        // The code of the start thread, where the dispatcher failed.
        return static_cast<int>(error);
    }

    void RunApplication(const std::function<void()>& work, const ControlHandler& handler) override {
        gWorkDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        gConsoleHandler = &handler;
        SetConsoleCtrlHandler(ConsoleHandlerProc, TRUE);
        work();
        if (gWorkDone != nullptr) SetEvent(gWorkDone);
        SetConsoleCtrlHandler(ConsoleHandlerProc, FALSE);
        gConsoleHandler = nullptr;
        // The event stays: a close request may still be waiting on it.
    }

    int OpenStatusReporter(const std::string& serviceName, std::unique_ptr<StatusReporter>& reporter) override {
        SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA(serviceName.c_str(), ControlHandlerProc);
        if (handle == nullptr) return static_cast<int>(GetLastError());
        reporter = std::make_unique<ScmStatusReporter>(handle);
        return 0;
    }
};

}  // namespace

ServiceControl& ServiceControlInstance() {
    static ScmServiceControl control;
    return control;
}

}  // namespace quorvel::platform
