#include "Winsock.h"

#include <winsock2.h>

namespace quorvel::platform::win32 {

namespace {

class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        ok_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (ok_) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

}  // namespace

bool EnsureWinsock() {
    // A function-local static is started exactly once even with several
    // threads arriving together (C++11 guarantees it).
    static WinsockSession session;
    return session.ok();
}

}  // namespace quorvel::platform::win32
