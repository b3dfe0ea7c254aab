#include "platform/win32/Winsock.h"

#include <climits>
#include <cstring>

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

int OpenSocket(int domain, int type, int protocol, SocketHandle& socket) {
    if (!EnsureWinsock()) return WSANOTINITIALISED;
    const SOCKET s = ::socket(domain, type, protocol);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    if (s > static_cast<SOCKET>(INT_MAX)) {
        closesocket(s);
        return WSAEMFILE;
    }
    socket.Reset(static_cast<int>(s));
    return 0;
}

void ReadSenderAddress(const sockaddr_storage& from, int length, SenderAddress& sender) {
    if (from.ss_family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in))) {
        sender.Family = kFamilyIPv4;
        std::memcpy(sender.Bytes.data(), &reinterpret_cast<const sockaddr_in&>(from).sin_addr, 4);
    } else if (from.ss_family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6))) {
        sender.Family = kFamilyIPv6;
        std::memcpy(sender.Bytes.data(), &reinterpret_cast<const sockaddr_in6&>(from).sin6_addr, 16);
    }
}

}  // namespace quorvel::platform::win32
