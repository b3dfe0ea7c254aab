#include "platform/win32/Winsock.h"

#include <winsock2.h>

namespace quorvel::platform::win32 {

namespace {

class WinsockSession {
public:
    WinsockSession() {
        WSADATA data{};
        valid_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (valid_) WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool Valid() const { return valid_; }

private:
    bool valid_ = false;
};

}  // namespace

bool EnsureWinsock() {
    // A function-local static is started exactly once even with several
    // threads arriving together (C++11 guarantees it).
    static WinsockSession session;
    return session.Valid();
}

}  // namespace quorvel::platform::win32
