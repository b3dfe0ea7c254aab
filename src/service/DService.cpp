#include "service/DService.h"

#include <cctype>
#include <exception>
#include <system_error>

#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/SystemError.h"
#include "service/ServiceTexts.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

constexpr size_t kDescriptionBytes = 254;
constexpr int kWaitHintMs = 5000;
constexpr int kControlsStopShutdown = 1 + 4;

// The command words: "-WORD", "--word" or "/word", letter case aside.
enum class TCommandWord { Install, Uninstall, Silent, Run, Help, Version, Unknown };

TCommandWord ClassifyWord(const std::string& arg) {
    size_t skip = arg.rfind("--", 0) == 0 ? 2 : !arg.empty() && (arg[0] == '-' || arg[0] == '/') ? 1 : 0;
    if (skip == 0) return TCommandWord::Unknown;
    std::string word = arg.substr(skip);
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const struct {
        const char* name;
        TCommandWord word;
    } kWords[] = {
        {"INSTALL", TCommandWord::Install}, {"UNINSTALL", TCommandWord::Uninstall},
        {"SILENT", TCommandWord::Silent},   {"RUN", TCommandWord::Run},
        {"HELP", TCommandWord::Help},       {"H", TCommandWord::Help},
        {"?", TCommandWord::Help},          {"VERSION", TCommandWord::Version},
    };
    for (const auto& known : kWords) {
        if (word == known.name) return known.word;
    }
    return TCommandWord::Unknown;
}

bool HasWord(const std::vector<std::string>& arguments, TCommandWord word) {
    for (const std::string& arg : arguments) {
        if (ClassifyWord(arg) == word) return true;
    }
    return false;
}

int PlatformState(TServiceState state) {
    switch (state) {
        case ssStopped: return platform::kServiceStopped;
        case ssStartPending: return platform::kServiceStartPending;
        case ssStopPending: return platform::kServiceStopPending;
        case ssRunning: return platform::kServiceRunning;
        case ssContinuePending: return platform::kServiceContinuePending;
        case ssPausePending: return platform::kServicePausePending;
        case ssPaused: return platform::kServicePaused;
    }
    return platform::kServiceStopped;
}

bool IsPending(TServiceState state) {
    return state == ssStartPending || state == ssStopPending || state == ssContinuePending ||
           state == ssPausePending;
}

// The text of the exception being handled; call inside a catch block only.
std::string CurrentErrorText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// The error code of the exception being handled: its own for system errors,
// otherwise the thread's last system error. Call inside a catch block only.
int CurrentErrorCode() {
    try {
        throw;
    } catch (const std::system_error& e) {
        return e.code().value();
    } catch (...) {
        return platform::LastSystemError();
    }
}

// "%0:s"-style indexed arguments and sequential "%s"/"%d", as the event
// formats use them. Arguments are inserted as they are, never rescanned.
std::string FormatText(const std::string& format, const std::vector<std::string>& args) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        char d = format[i + 1];
        if (d == 's' || d == 'd') {
            if (next < args.size()) out += args[next];
            ++next;
            ++i;
        } else if (std::isdigit(static_cast<unsigned char>(d)) && i + 3 < format.size() && format[i + 2] == ':' &&
                   format[i + 3] == 's') {
            size_t index = static_cast<size_t>(d - '0');
            if (index < args.size()) out += args[index];
            next = index + 1;
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

std::string ServiceFailureText(const char* action, const std::string& error) {
    return FormatText(texts::kFormatServiceFailure, {action, error});
}

}  // namespace

// ---- TEventLogger ----

TEventLogger::TEventLogger(std::string sourceName, platform::SystemLog& log, bool echoToConsole)
    : SourceName(std::move(sourceName)), Log(log), EchoToConsole(echoToConsole) {}

void TEventLogger::WriteEvent(const std::string& text, int eventType, int category, uint32_t eventId) {
    if (!EventLogHandle) EventLogHandle = Log.OpenEventSource(SourceName, EchoToConsole);
    if (EventLogHandle) EventLogHandle->Report(eventType, category, eventId, text);
}

// ---- TServiceThread ----

TServiceThread::TServiceThread(TDService& service, std::unique_ptr<platform::MessageQueue> queue)
    : Service(service), MessageQueue(std::move(queue)) {}

TServiceThread::~TServiceThread() { WaitFor(); }

void TServiceThread::Resume() { Thread = std::thread([this] { Execute(); }); }

void TServiceThread::Terminate() {
    TerminateRequested = true;
    // Wakes a loop that waits for its next message; the loop ignores it.
    MessageQueue->Post(0, 0, 0);
}

void TServiceThread::WaitFor() {
    if (Thread.joinable()) Thread.join();
}

bool TServiceThread::PostControl(int code) { return MessageQueue->Post(CM_SERVICE_CONTROL, code, 0); }

void TServiceThread::Execute() {
    MessageQueue->AttachToCurrentThread();
    bool started = false;
    try {
        Service.SetState(ssStartPending);
        started = true;
        if (Service.OnStart) Service.OnStart(started);
    } catch (...) {
        started = false;
        Service.LogEvent(ServiceFailureText(texts::kActionStart, CurrentErrorText()), platform::kEventError, 0, 0);
    }
    if (started) {
        try {
            Service.SetState(ssRunning);
            Service.MessageLoop();
        } catch (...) {
            Service.LogEvent(ServiceFailureText(texts::kActionRun, CurrentErrorText()), platform::kEventError, 0, 0);
        }
    }
    MessageQueue->DetachFromCurrentThread();
}

// ---- TDService ----

TDService::TDService(platform::ServiceEnvironment environment) : Environment(std::move(environment)) {}

TDService::~TDService() {
    std::unique_ptr<TServiceThread> worker;
    {
        std::lock_guard<std::mutex> lock(WorkerLock);
        worker = std::move(WorkerThread);
    }
    if (worker) {
        worker->Terminate();
        worker->WaitFor();
    }
}

int TDService::RunCommandLine(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    return RunCommandLine(arguments);
}

int TDService::RunCommandLine(const std::vector<std::string>& arguments) {
    // A mistyped word must not start the service or touch its entry.
    if (HasWord(arguments, TCommandWord::Unknown)) {
        platform::WriteErrorOutput(Usage);
        return 2;
    }
    if (HasWord(arguments, TCommandWord::Help)) {
        platform::WriteOutput(Usage);
        return 0;
    }
    if (HasWord(arguments, TCommandWord::Version)) {
        platform::WriteOutput(Version);
        return 0;
    }
    bool silent = HasWord(arguments, TCommandWord::Silent);
    if (HasWord(arguments, TCommandWord::Install)) return RegisterService(true, silent);
    if (HasWord(arguments, TCommandWord::Uninstall)) return RegisterService(false, silent);
    Quit = false;
    platform::ControlHandler handler = [this](int code) { ServiceControlHandler(code); };
    if (HasWord(arguments, TCommandWord::Run)) {
        AppMode = true;
        Environment.Control->RunApplication([this] { RunWorker(); }, handler);
        // A console user and a script need to see a start that failed: only
        // a run ended by a stop request counts as success.
        return Quit ? 0 : 1;
    }
    AppMode = false;
    int error = Environment.Control->RunDispatcher(ServiceName, [this] { ServiceMain(); }, handler);
    if (error != 0) LogEvent(texts::kTextStartFailed, platform::kEventError, 0, static_cast<uint32_t>(error));
    return 0;
}

int TDService::RegisterService(bool install, bool /*silent*/) {
    int error = install ? InstallService() : RemoveService();
    if (error == 0) return 0;
    std::string text = install ? texts::kTextInstallFailedPrefix : texts::kTextRemoveFailedPrefix;
    text += std::to_string(error) + ")";
    Environment.Manager->ShowError(DisplayName, text);
    return 1;
}

std::string TDService::EntryDescription(const std::string& description) {
    size_t end = 0;
    while (end < description.size()) {
        size_t width = IsSJISLeadByte(static_cast<unsigned char>(description[end])) && end + 1 < description.size() ? 2 : 1;
        if (end + width > kDescriptionBytes) break;
        end += width;
    }
    return description.substr(0, end);
}

int TDService::InstallService() {
    platform::ServiceEntry entry;
    entry.ServiceName = ServiceName;
    entry.DisplayName = DisplayName;
    entry.Description = EntryDescription(Description);
    entry.ProgramPath = platform::ExecutablePath();
    entry.DataFolder = DataFolder;
    entry.AccountName = AccountName;
    return Environment.Manager->Install(entry);
}

int TDService::RemoveService() { return Environment.Manager->Remove(ServiceName); }

void TDService::ServiceMain() {
    int error = 0;
    std::unique_ptr<platform::StatusReporter> reporter = Environment.Control->OpenStatusReporter(ServiceName, error);
    if (!reporter) {
        LogEvent(texts::kTextRegisterFailed, platform::kEventError, 0, static_cast<uint32_t>(error));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(StatusLock);
        StatusHandle = std::move(reporter);
    }
    RunWorker();
}

void TDService::RunWorker() {
    if (!AppMode) SetState(ssStartPending);
    TServiceThread* worker = nullptr;
    try {
        std::unique_ptr<platform::MessageQueue> queue = Environment.NewQueue();
        if (!queue) throw std::system_error(platform::LastSystemError(), std::system_category());
        auto created = std::make_unique<TServiceThread>(*this, std::move(queue));
        worker = created.get();
        std::lock_guard<std::mutex> lock(WorkerLock);
        WorkerThread = std::move(created);
    } catch (...) {
        LogEvent(texts::kTextCreateException, platform::kEventError, 0, static_cast<uint32_t>(CurrentErrorCode()));
    }
    if (worker) {
        try {
            worker->Resume();
        } catch (...) {
            LogEvent(texts::kTextResumeException, platform::kEventError, 0, static_cast<uint32_t>(CurrentErrorCode()));
        }
        worker->WaitFor();
    }
    if (!AppMode) SetState(ssStopped);
    std::unique_ptr<TServiceThread> done;
    {
        std::lock_guard<std::mutex> lock(WorkerLock);
        done = std::move(WorkerThread);
    }
}

void TDService::ServiceControlHandler(int code) {
    std::lock_guard<std::mutex> lock(WorkerLock);
    if (WorkerThread) WorkerThread->PostControl(code);
}

void TDService::SetState(TServiceState state) {
    State = state;
    SendStatus();
}

void TDService::SendStatus() {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (!StatusHandle) return;
    TServiceState state = State.load();
    platform::ServiceStatus status;
    status.ServiceType = 16;
    status.CurrentState = PlatformState(state);
    status.ControlsAccepted = state == ssStartPending ? 0 : kControlsStopShutdown;
    status.CheckPoint = IsPending(state) && state == LastReportedState ? LastCheckPoint + 1 : 0;
    status.WaitHint = kWaitHintMs;
    StatusHandle->Report(status);
    LastReportedState = state;
    LastCheckPoint = status.CheckPoint;
}

void TDService::ReportActivity(const std::string& text, bool atStop) {
    if (atStop) {
        if (AppMode) platform::ReportToConsole(text);
        return;
    }
    std::lock_guard<std::mutex> lock(StatusLock);
    // SetState stores the state before it takes this lock: a line that gets
    // here after a stop began is dropped instead of hiding "Stopping".
    if (!StatusHandle || State.load() != ssRunning) return;
    StatusHandle->ReportText(text);
}

void TDService::MessageLoop() {
    platform::MessageQueue& queue = WorkerThread->Queue();
    for (;;) {
        if (WorkerThread->Terminated()) return;
        platform::QueueMessage message;
        if (queue.GetMessage(message) <= 0) return;
        if (message.Target != 0 || message.Number != CM_SERVICE_CONTROL) {
            queue.DispatchMessage(message);
            continue;
        }
        HandleControl(static_cast<int>(message.Param1));
    }
}

void TDService::HandleControl(int code) {
    static const char* const kControlNames[] = {texts::kActionStop, texts::kActionPause,
                                                texts::kActionContinue, texts::kActionInterrogate,
                                                texts::kActionShutdown};
    TServiceState saved = State.load();
    try {
        bool result = true;
        if (code == platform::kControlStop) result = HandleStop();
        if (code == platform::kControlShutdown) HandleShutdown();
        if (code > platform::kControlIgnoredSignal && OnIgnoredSignal) {
            OnIgnoredSignal(code - platform::kControlIgnoredSignal);
        }
        if (!result) SetState(saved);
    } catch (...) {
        std::string error = CurrentErrorText();
        if (code != platform::kControlShutdown) SetState(saved);
        std::string text = code >= 1 && code <= 5
                               ? ServiceFailureText(kControlNames[code - 1], error)
                               : FormatText(texts::kFormatCustomFailure, {std::to_string(code), error});
        LogEvent(text, platform::kEventError, 0, 0);
    }
}

bool TDService::HandleStop() {
    bool stopped = true;
    try {
        if (!AppMode) SetState(ssStopPending);
        if (OnStop) OnStop(stopped);
        if (stopped) {
            WorkerThread->Terminate();
            Quit = true;
        }
    } catch (...) {
        LogEvent(texts::kTextStopException, platform::kEventError, 0, static_cast<uint32_t>(CurrentErrorCode()));
        // The answer stands as it was when the hook failed. A stop still
        // agreed to must really end the worker: otherwise the service would
        // stay reported as stop pending while it goes on serving.
        if (stopped) {
            WorkerThread->Terminate();
            Quit = true;
        }
    }
    // Closing the event source after every stop request; the next entry opens it again.
    std::lock_guard<std::mutex> lock(LoggerLock);
    Logger.reset();
    return stopped;
}

void TDService::HandleShutdown() {
    SetState(ssStopPending);
    struct TerminateOnExit {
        TServiceThread* Worker;
        ~TerminateOnExit() { Worker->Terminate(); }
    } terminate{WorkerThread.get()};
    if (OnShutdown) OnShutdown();
}

void TDService::LogEvent(const std::string& text, int eventType, int category, uint32_t eventId) {
    // One lock covers the creation on first use and the write: two threads
    // reporting at once get one logger, and neither entry is lost.
    std::lock_guard<std::mutex> lock(LoggerLock);
    if (!Logger) Logger = std::make_unique<TEventLogger>(ServiceName, *Environment.Log, AppMode);
    Logger->WriteEvent(text, eventType, category, eventId);
}

}  // namespace quorvel
