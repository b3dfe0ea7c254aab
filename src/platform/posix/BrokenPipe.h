#pragma once
// Ignores SIGPIPE while an object lives (backend-internal).

#include <signal.h>

namespace quorvel::platform {

// Standard error may be a pipe whose reader has gone (`quorvel -RUN 2>&1 |
// head`, a collector that exited). Writing to it raises SIGPIPE, whose
// default action would end the server on its first event, or turn the exit
// status of a command into 141. Ignored, the write fails with EPIPE and only
// the console copy of the message is lost.
class BrokenPipeIgnored {
public:
    BrokenPipeIgnored() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        active_ = sigaction(SIGPIPE, &ignore, &previous_) == 0;
    }
    ~BrokenPipeIgnored() {
        if (active_) sigaction(SIGPIPE, &previous_, nullptr);
    }
    BrokenPipeIgnored(const BrokenPipeIgnored&) = delete;
    BrokenPipeIgnored& operator=(const BrokenPipeIgnored&) = delete;

private:
    struct sigaction previous_ {};
    bool active_ = false;
};

}  // namespace quorvel::platform
