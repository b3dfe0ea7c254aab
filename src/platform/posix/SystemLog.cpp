#include "platform/SystemLog.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <cstring>
#include <string>

#include "platform/TextEncoding.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

namespace quorvel::platform {

namespace {

const char kDefaultJournalSocket[] = "/run/systemd/journal/socket";

std::string JournalSocketPath() {
    const char* path = getenv("QUORVEL_JOURNAL_SOCKET");
    return path && *path ? path : kDefaultJournalSocket;
}

// systemd's native journal protocol: "NAME=value\n", or, for a value that
// holds a newline, "NAME\n" + 64-bit little-endian length + value + "\n".
void AppendField(std::string& out, const char* name, const std::string& value) {
    if (value.find('\n') == std::string::npos) {
        out += name;
        out += '=';
        out += value;
        out += '\n';
        return;
    }
    out += name;
    out += '\n';
    uint64_t size = value.size();
    for (int i = 0; i < 8; ++i) out += static_cast<char>((size >> (8 * i)) & 0xFF);
    out += value;
    out += '\n';
}

class JournalEventSource final : public EventSource {
public:
    JournalEventSource(std::string source, bool echo) : source_(std::move(source)), echo_(echo) {}

    ~JournalEventSource() override {
        if (syslogOpen_) closelog();
    }

    void Report(int type, int category, uint32_t eventId, const std::string& text) override {
        std::string utf8 = SjisToUtf8(text);
        bool error = type == kEventError;
        if (echo_) {
            WriteAll(2, std::string(error ? "error " : "success ") + std::to_string(eventId) + " " + utf8 + "\n");
        }
        if (SendToJournal(error, category, eventId, utf8)) return;
        // No journal (a container, another init): syslog keeps the ID in the text.
        if (!syslogOpen_) {
            openlog(source_.c_str(), LOG_PID, LOG_DAEMON);
            syslogOpen_ = true;
        }
        syslog(error ? LOG_ERR : LOG_INFO, "[%u] %s", eventId, utf8.c_str());
    }

private:
    bool SendToJournal(bool error, int category, uint32_t eventId, const std::string& utf8) {
        std::string path = JournalSocketPath();
        sockaddr_un addr{};
        if (path.size() >= sizeof addr.sun_path) return false;
        if (!socket_.Valid()) socket_.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!socket_.Valid()) return false;
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.data(), path.size());
        std::string datagram;
        AppendField(datagram, "MESSAGE", utf8);
        AppendField(datagram, "PRIORITY", error ? "3" : "6");
        AppendField(datagram, "SYSLOG_IDENTIFIER", source_);
        AppendField(datagram, "QUORVEL_EVENT_ID", std::to_string(eventId));
        AppendField(datagram, "QUORVEL_EVENT_CATEGORY", std::to_string(category));
        AppendField(datagram, "QUORVEL_EVENT_TYPE", error ? "error" : "success");
        ssize_t n;
        do {
            n = sendto(socket_.Get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(datagram.size());
    }

    std::string source_;
    bool echo_;
    UniqueFd socket_;
    bool syslogOpen_ = false;
};

class PosixSystemLog final : public SystemLog {
public:
    std::unique_ptr<EventSource> OpenEventSource(const std::string& sourceName, bool echoToConsole) override {
        return std::make_unique<JournalEventSource>(sourceName, echoToConsole);
    }
};

}  // namespace

SystemLog& SystemLogInstance() {
    static PosixSystemLog log;
    return log;
}

}  // namespace quorvel::platform
