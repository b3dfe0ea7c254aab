#pragma once
// The system's event log (the Windows event log, the systemd journal or
// syslog elsewhere).

#include <cstdint>
#include <memory>
#include <string>

namespace quorvel::platform {

constexpr int kEventSuccess = 0;
constexpr int kEventError = 1;

class EventSource {
public:
    virtual ~EventSource() = default;
    // One entry; the text is Shift_JIS and written whole. Not thread-safe:
    // the owner serialises its calls.
    virtual void Report(int type, int category, uint32_t eventId, const std::string& text) = 0;
};

class SystemLog {
public:
    virtual ~SystemLog() = default;
    // Safe from any thread. With echoToConsole every entry is also written to
    // standard error as "<success|error> <id> <text>" in UTF-8.
    virtual std::unique_ptr<EventSource> OpenEventSource(const std::string& sourceName, bool echoToConsole) = 0;
};

}  // namespace quorvel::platform
