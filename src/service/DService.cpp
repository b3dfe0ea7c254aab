#include "service/DService.h"

#include <cctype>
#include <exception>
#include <system_error>

#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/SystemError.h"
#include "service/ServiceTexts.h"
#include "util/Chars.h"
#include "util/ScopeExit.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

constexpr size_t kDescriptionBytes = 254;
constexpr int kWaitHintMs = 5000;
constexpr int kControlsStopShutdown = platform::kAcceptStop | platform::kAcceptShutdown;

// The command words: "-WORD", "--word" or "/word", letter case aside.
enum class TCommandWord { Install, Uninstall, Silent, Run, Help, Version, Unknown };

TCommandWord ClassifyWord(const std::string& arg) {
    size_t skip = arg.rfind("--", 0) == 0 ? 2 : !arg.empty() && (arg[0] == '-' || arg[0] == '/') ? 1 : 0;
    if (skip == 0) return TCommandWord::Unknown;
    std::string word = arg.substr(skip);
    for (char& c : word) c = UpperAscii(c);
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

// The service manager's code of each TServiceState, in its order.
constexpr int kPlatformStates[] = {platform::kServiceStopped, platform::kServiceStartPending,
                                   platform::kServiceStopPending, platform::kServiceRunning};

bool IsPending(TServiceState state) { return state == ssStartPending || state == ssStopPending; }

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
    : SourceName(std::move(sourceName)), log_(log), echoToConsole_(echoToConsole) {}

void TEventLogger::WriteEvent(const std::string& text, int eventType, int category, uint32_t eventId) {
    if (!eventSource_) eventSource_ = log_.OpenEventSource(SourceName, echoToConsole_);
    if (eventSource_) eventSource_->Report(eventType, category, eventId, text);
}

// ---- TServiceThread ----

TServiceThread::TServiceThread(TDService& service, std::unique_ptr<platform::MessageQueue> queue)
    : service_(service), queue_(std::move(queue)) {}

TServiceThread::~TServiceThread() { WaitFor(); }

void TServiceThread::Resume() { thread_ = std::thread([this] { Execute(); }); }

void TServiceThread::Terminate() {
    terminateRequested_ = true;
    // Wakes a loop that waits for its next message; the loop ignores it.
    queue_->Post(0, 0, 0);
}

void TServiceThread::WaitFor() {
    if (thread_.joinable()) thread_.join();
}

int TServiceThread::PostControl(int code) { return queue_->Post(CM_SERVICE_CONTROL, code, 0); }

void TServiceThread::Execute() {
    queue_->AttachToCurrentThread();
    bool started = false;
    try {
        service_.SetState(ssStartPending);
        started = true;
        if (service_.OnStart) service_.OnStart(started);
    } catch (...) {
        started = false;
        service_.LogEvent(ServiceFailureText(texts::kActionStart, CurrentErrorText()), platform::kEventError, 0, 0);
    }
    if (started) {
        try {
            service_.SetState(ssRunning);
            service_.MessageLoop();
        } catch (...) {
            service_.LogEvent(ServiceFailureText(texts::kActionRun, CurrentErrorText()), platform::kEventError, 0, 0);
        }
    }
    queue_->DetachFromCurrentThread();
}

// ---- TDService ----

TDService::TDService(platform::ServiceEnvironment environment) : environment_(std::move(environment)) {}

TDService::~TDService() {
    std::unique_ptr<TServiceThread> worker;
    {
        std::lock_guard<std::mutex> lock(workerLock_);
        worker = std::move(worker_);
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
    quit_ = false;
    platform::ControlHandler handler = [this](int code) { ServiceControlHandler(code); };
    if (HasWord(arguments, TCommandWord::Run)) {
        appMode_ = true;
        environment_.Control->RunApplication([this] { RunWorker(); }, handler);
        // A console user and a script need to see a start that failed: only
        // a run ended by a stop request counts as success.
        return quit_ ? 0 : 1;
    }
    appMode_ = false;
    int error = environment_.Control->RunDispatcher(ServiceName, [this] { ServiceMain(); }, handler);
    if (error != 0) LogEvent(texts::kTextStartFailed, platform::kEventError, 0, static_cast<uint32_t>(error));
    return 0;
}

int TDService::RegisterService(bool install, bool /*silent*/) {
    int error = install ? InstallService() : RemoveService();
    if (error == 0) return 0;
    std::string text = install ? texts::kTextInstallFailedPrefix : texts::kTextRemoveFailedPrefix;
    text += std::to_string(error) + ")";
    environment_.Manager->ShowError(DisplayName, text);
    return 1;
}

std::string TDService::EntryDescription(const std::string& description) {
    size_t end = 0;
    while (end < description.size()) {
        size_t width = IsSJISLeadByte(static_cast<unsigned char>(description[end])) &&
                               end + 1 < description.size()
                           ? 2
                           : 1;
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
    return environment_.Manager->Install(entry);
}

int TDService::RemoveService() { return environment_.Manager->Remove(ServiceName); }

void TDService::ServiceMain() {
    std::unique_ptr<platform::StatusReporter> reporter;
    const int error = environment_.Control->OpenStatusReporter(ServiceName, reporter);
    if (error != 0) {
        LogEvent(texts::kTextRegisterFailed, platform::kEventError, 0, static_cast<uint32_t>(error));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(statusLock_);
        statusReporter_ = std::move(reporter);
    }
    RunWorker();
}

void TDService::RunWorker() {
    if (!appMode_) SetState(ssStartPending);
    TServiceThread* worker = nullptr;
    try {
        std::unique_ptr<platform::MessageQueue> queue = environment_.NewQueue();
        if (!queue) throw std::system_error(platform::LastSystemError(), std::system_category());
        auto created = std::make_unique<TServiceThread>(*this, std::move(queue));
        worker = created.get();
        std::lock_guard<std::mutex> lock(workerLock_);
        worker_ = std::move(created);
    } catch (...) {
        LogEvent(texts::kTextCreateException, platform::kEventError, 0,
                 static_cast<uint32_t>(platform::CurrentExceptionCode()));
    }
    if (worker) {
        try {
            worker->Resume();
        } catch (...) {
            LogEvent(texts::kTextResumeException, platform::kEventError, 0,
                     static_cast<uint32_t>(platform::CurrentExceptionCode()));
        }
        worker->WaitFor();
    }
    if (!appMode_) SetState(ssStopped);
    std::unique_ptr<TServiceThread> done;
    {
        std::lock_guard<std::mutex> lock(workerLock_);
        done = std::move(worker_);
    }
}

void TDService::ServiceControlHandler(int code) {
    std::lock_guard<std::mutex> lock(workerLock_);
    if (worker_) worker_->PostControl(code);
}

void TDService::SetState(TServiceState state) {
    state_ = state;
    SendStatus();
}

void TDService::SendStatus() {
    std::lock_guard<std::mutex> lock(statusLock_);
    if (!statusReporter_) return;
    TServiceState state = state_.load();
    platform::ServiceStatus status;
    status.CurrentState = kPlatformStates[state];
    status.ControlsAccepted = state == ssStartPending ? 0 : kControlsStopShutdown;
    status.CheckPoint = IsPending(state) && state == lastReportedState_ ? lastCheckPoint_ + 1 : 0;
    status.WaitHint = kWaitHintMs;
    statusReporter_->Report(status);
    lastReportedState_ = state;
    lastCheckPoint_ = status.CheckPoint;
}

void TDService::ReportActivity(const std::string& text, bool atStop) {
    if (atStop) {
        if (appMode_) platform::ReportToConsole(text);
        return;
    }
    std::lock_guard<std::mutex> lock(statusLock_);
    // SetState stores the state before it takes this lock: a line that gets
    // here after a stop began is dropped instead of hiding "Stopping".
    if (!statusReporter_ || state_.load() != ssRunning) return;
    statusReporter_->ReportText(text);
}

void TDService::MessageLoop() {
    platform::MessageQueue& queue = worker_->Queue();
    for (;;) {
        if (worker_->Terminated()) return;
        platform::QueueMessage message;
        if (queue.Next(message) <= 0) return;
        if (message.Target != 0 || message.Number != CM_SERVICE_CONTROL) {
            queue.Dispatch(message);
            continue;
        }
        HandleControl(static_cast<int>(message.Param1));
    }
}

void TDService::HandleControl(int code) {
    TServiceState saved = state_.load();
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
        // Only a stop, a shutdown and the ignored signals run code that may fail.
        const char* action = code == platform::kControlStop       ? texts::kActionStop
                             : code == platform::kControlShutdown ? texts::kActionShutdown
                                                                  : nullptr;
        std::string text = action != nullptr ? ServiceFailureText(action, error)
                                             : FormatText(texts::kFormatCustomFailure, {std::to_string(code), error});
        LogEvent(text, platform::kEventError, 0, 0);
    }
}

bool TDService::HandleStop() {
    bool stopped = true;
    try {
        if (!appMode_) SetState(ssStopPending);
        if (OnStop) OnStop(stopped);
        if (stopped) {
            worker_->Terminate();
            quit_ = true;
        }
    } catch (...) {
        LogEvent(texts::kTextStopException, platform::kEventError, 0,
                 static_cast<uint32_t>(platform::CurrentExceptionCode()));
        // The answer stands as it was when the hook failed. A stop still
        // agreed to must really end the worker: otherwise the service would
        // stay reported as stop pending while it goes on serving.
        if (stopped) {
            worker_->Terminate();
            quit_ = true;
        }
    }
    // Closing the event source after every stop request; the next entry opens it again.
    std::lock_guard<std::mutex> lock(loggerLock_);
    logger_.reset();
    return stopped;
}

void TDService::HandleShutdown() {
    SetState(ssStopPending);
    TServiceThread* worker = worker_.get();
    const TScopeExit terminate([worker] { worker->Terminate(); });
    if (OnShutdown) OnShutdown();
}

void TDService::LogEvent(const std::string& text, int eventType, int category, uint32_t eventId) {
    // One lock covers the creation on first use and the write: two threads
    // reporting at once get one logger, and neither entry is lost.
    std::lock_guard<std::mutex> lock(loggerLock_);
    if (!logger_) logger_ = std::make_unique<TEventLogger>(ServiceName, *environment_.Log, appMode_);
    logger_->WriteEvent(text, eventType, category, eventId);
}

}  // namespace quorvel
