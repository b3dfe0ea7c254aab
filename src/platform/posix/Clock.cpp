#include "platform/Clock.h"

#include <time.h>

namespace quorvel::platform {

WallTime WallNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return WallTime{static_cast<long long>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000)};
}

LocalTime LocalNow() { return ToLocalTime(WallNow()); }

LocalTime ToLocalTime(const WallTime& at) {
    const time_t seconds = static_cast<time_t>(at.Seconds);
    tm parts{};
    localtime_r(&seconds, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min, parts.tm_sec, at.Millisecond, parts.tm_wday,
                     static_cast<int>(parts.tm_gmtoff / 60)};
}

void SleepMilliseconds(int ms) {
    if (ms <= 0) return;
    timespec req{ms / 1000, (ms % 1000) * 1000000L};
    // Resume after a signal: the pause is a plain sleep that nothing ends early.
    while (nanosleep(&req, &req) != 0) {
    }
}

}  // namespace quorvel::platform
