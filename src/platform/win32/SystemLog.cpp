#include "platform/SystemLog.h"

#include <windows.h>

#include "platform/Backends.h"
#include "platform/win32/Console.h"

namespace quorvel::platform {

namespace {

// No message file is registered for the source: every entry carries its
// whole text as its one insertion string, which the Event Viewer shows
// after its note that the description is missing.
class EventLogSource final : public EventSource {
public:
    EventLogSource(std::string source, bool echo) : source_(std::move(source)), echo_(echo) {}

    ~EventLogSource() override {
        if (handle_ != nullptr) DeregisterEventSource(handle_);
    }

    void Report(int type, int category, uint32_t eventId, const std::string& text) override {
        const bool error = type == kEventError;
        if (echo_) {
            win32::WriteError(std::string(error ? "error " : "success ") + std::to_string(eventId) + " " + text + "\n");
        }
        // Opened with the first entry; a failure is retried with the next.
        if (handle_ == nullptr) handle_ = RegisterEventSourceA(nullptr, source_.c_str());
        if (handle_ == nullptr) return;
        // ReportEventA reads NUL-terminated strings: c_str() is that buffer.
        const char* strings[1] = {text.c_str()};
        ReportEventA(handle_, static_cast<WORD>(error ? EVENTLOG_ERROR_TYPE : EVENTLOG_SUCCESS),
                     static_cast<WORD>(category), static_cast<DWORD>(eventId), nullptr, 1, 0, strings, nullptr);
    }

private:
    std::string source_;
    bool echo_;
    HANDLE handle_ = nullptr;
};

class WindowsSystemLog final : public SystemLog {
public:
    std::unique_ptr<EventSource> OpenEventSource(const std::string& sourceName, bool echoToConsole) override {
        return std::make_unique<EventLogSource>(sourceName, echoToConsole);
    }
};

}  // namespace

SystemLog& SystemLogInstance() {
    static WindowsSystemLog log;
    return log;
}

}  // namespace quorvel::platform
