#include "platform/ServiceControl.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Backends.h"
#include "platform/posix/BrokenPipe.h"
#include "platform/posix/UniqueFd.h"

namespace quorvel::platform {

namespace {

// Turns the given signals into calls on a thread of its own: the signals are
// blocked in the calling thread (and so in every thread it starts afterwards)
// and read from a signalfd, so no work ever runs inside a signal handler.
class SignalRelay {
public:
    SignalRelay(std::vector<int> signals, std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
        sigemptyset(&set_);
        for (int s : signals) sigaddset(&set_, s);
        pthread_sigmask(SIG_BLOCK, &set_, &oldMask_);
        signalFd_.Reset(signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
        stopFd_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (signalFd_.Valid() && stopFd_.Valid()) {
            try {
                thread_ = std::thread([this] { Run(); });
                return;
            } catch (...) {
                // No exception leaves the platform layer; the fallback below.
            }
        }
        // Without a relay the signals keep their default action: a stop
        // request still ends the process rather than being lost.
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }

    ~SignalRelay() {
        if (thread_.joinable()) {
            uint64_t one = 1;
            while (::write(stopFd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
            }
            thread_.join();
        }
        // Requests that came after the work ended are consumed here; unblocked
        // they would end the process by the default action instead.
        if (signalFd_.Valid()) {
            signalfd_siginfo info{};
            while (::read(signalFd_.Get(), &info, sizeof info) == sizeof info) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }

    SignalRelay(const SignalRelay&) = delete;
    SignalRelay& operator=(const SignalRelay&) = delete;

private:
    void Run() {
        pollfd fds[2] = {{signalFd_.Get(), POLLIN, 0}, {stopFd_.Get(), POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            signalfd_siginfo info{};
            while (::read(signalFd_.Get(), &info, sizeof info) == sizeof info) {
                onSignal_(static_cast<int>(info.ssi_signo));
            }
        }
    }

    std::function<void(int)> onSignal_;
    sigset_t set_{};
    sigset_t oldMask_{};
    UniqueFd signalFd_;
    UniqueFd stopFd_;
    std::thread thread_;
};

const char* StateWord(int state) {
    switch (state) {
        case kServiceStopped: return "Stopped";
        case kServiceStartPending: return "Starting";
        case kServiceStopPending: return "Stopping";
        case kServiceRunning: return "Running";
        default: return "Unknown state";
    }
}

// sd_notify(3) written out: one datagram of "KEY=value" lines to the socket
// named by NOTIFY_SOCKET ("@" marks Linux's abstract namespace).
class NotifyReporter final : public StatusReporter {
public:
    NotifyReporter(UniqueFd socket, const sockaddr_un& addr, socklen_t length)
        : socket_(std::move(socket)), addr_(addr), length_(length) {}

    void Report(const ServiceStatus& status) override {
        std::string text;
        if (status.CurrentState == kServiceRunning) text += "READY=1\n";
        if (status.CurrentState == kServiceStopPending) text += "STOPPING=1\n";
        text += "STATUS=";
        text += StateWord(status.CurrentState);
        if (status.CheckPoint > 0) text += " (check point " + std::to_string(status.CheckPoint) + ")";
        text += "\n";
        bool pending = status.CurrentState == kServiceStartPending || status.CurrentState == kServiceStopPending;
        if (pending && status.WaitHint > 0) {
            text += "EXTEND_TIMEOUT_USEC=" + std::to_string(static_cast<long long>(status.WaitHint) * 1000) + "\n";
        }
        Send(text);
    }

    void ReportText(const std::string& text) override {
        // A line break would end the value and start a key of the protocol.
        std::string line = "STATUS=";
        for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
        Send(line + "\n");
    }

private:
    void Send(const std::string& text) {
        ssize_t n;
        do {
            n = sendto(socket_.Get(), text.data(), text.size(), MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr*>(&addr_), length_);
        } while (n < 0 && errno == EINTR);
    }

    UniqueFd socket_;
    sockaddr_un addr_;
    socklen_t length_;
};

bool UnderServiceManager() {
    const char* path = getenv("NOTIFY_SOCKET");
    return path && *path;
}

class SystemdServiceControl final : public ServiceControl {
public:
    int RunDispatcher(const std::string& serviceName, const std::function<void()>& serviceMain,
                      const ControlHandler& handler) override {
        BrokenPipeIgnored brokenPipe;
        if (!UnderServiceManager()) {
            std::string hint = serviceName +
                               ": not started by systemd; use -RUN to run in the foreground or -INSTALL to "
                               "install the service\n";
            ssize_t ignored = ::write(2, hint.data(), hint.size());
            (void)ignored;
            return kErrorNotStartedByServiceManager;
        }
        // systemd stops a unit and shuts the system down with the same
        // SIGTERM, and telling the two apart would need a bus round trip
        // during shutdown: every SIGTERM is a stop request.
        // A hang-up or a user signal would end the process by default, with
        // no stop record; the service manager decides when a service ends.
        SignalRelay relay({SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}, [&handler](int signal) {
            handler(signal == SIGTERM ? kControlStop : kControlIgnoredSignal + signal);
        });
        serviceMain();
        return 0;
    }

    void RunApplication(const std::function<void()>& work, const ControlHandler& handler) override {
        // Every event is echoed to standard error in this mode.
        BrokenPipeIgnored brokenPipe;
        // A closed terminal (SIGHUP) and the user signals, whose default
        // action ends the process, stop it cleanly instead.
        SignalRelay relay({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}, [&handler](int) { handler(kControlStop); });
        work();
    }

    int OpenStatusReporter(const std::string&, std::unique_ptr<StatusReporter>& reporter) override {
        const char* path = getenv("NOTIFY_SOCKET");
        if (!path || !*path) return kErrorNotStartedByServiceManager;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        size_t len = std::strlen(path);
        if (len >= sizeof addr.sun_path) return ENAMETOOLONG;
        std::memcpy(addr.sun_path, path, len);
        if (path[0] == '@') addr.sun_path[0] = '\0';
        socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (path[0] == '@' ? 0 : 1));
        UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!fd.Valid()) return errno;
        reporter = std::make_unique<NotifyReporter>(std::move(fd), addr, addrLen);
        return 0;
    }
};

}  // namespace

ServiceControl& ServiceControlInstance() {
    static SystemdServiceControl control;
    return control;
}

}  // namespace quorvel::platform
