#include "platform/UdpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <mutex>
#include <utility>

#include "platform/AddressInfo.h"
#include "platform/win32/Winsock.h"
#include "platform/SystemError.h"

namespace quorvel::platform {

namespace {

// getaddrinfo and freeaddrinfo came to ws2_32.dll only with Windows XP; they
// are looked up at run time so that the program still starts (IPv4 only)
// where they are missing, instead of failing to load on an import.
using GetAddrInfoFn = int(WSAAPI*)(const char*, const char*, const addrinfo*, addrinfo**);
using FreeAddrInfoFn = void(WSAAPI*)(addrinfo*);

const char kResolverLibrary[] = "ws2_32.dll";

struct Resolver {
    HMODULE Library = nullptr;
    GetAddrInfoFn GetAddrInfo = nullptr;
    FreeAddrInfoFn FreeAddrInfo = nullptr;
};

std::mutex resolverMutex;
Resolver loadedResolver;  // guarded by resolverMutex

// GetProcAddress hands out a generic function pointer; the cast through
// void* keeps GCC's -Wcast-function-type quiet about the real signature.
template <typename Fn>
Fn Lookup(HMODULE library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

ResolverStatus LoadResolver(Resolver& resolver) {
    resolver = Resolver{};
    resolver.Library = LoadLibraryA(kResolverLibrary);
    if (resolver.Library == nullptr) return ResolverStatus::NoLibrary;
    resolver.FreeAddrInfo = Lookup<FreeAddrInfoFn>(resolver.Library, "freeaddrinfo");
    resolver.GetAddrInfo = Lookup<GetAddrInfoFn>(resolver.Library, "getaddrinfo");
    if (resolver.GetAddrInfo == nullptr) return ResolverStatus::NoGetAddrInfo;
    if (resolver.FreeAddrInfo == nullptr) return ResolverStatus::NoFreeAddrInfo;
    return ResolverStatus::Loaded;
}

void UnloadResolver(Resolver& resolver) {
    if (resolver.Library != nullptr) FreeLibrary(resolver.Library);
    resolver = Resolver{};
}

using win32::ToSocket;

int Clamp(std::size_t size) { return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size); }

}  // namespace

ResolverStatus LoadAddressResolver() {
    std::lock_guard<std::mutex> lock(resolverMutex);
    // A second load without an unload would leave one library reference
    // behind for good.
    UnloadResolver(loadedResolver);
    const ResolverStatus result = LoadResolver(loadedResolver);
    if (result == ResolverStatus::NoLibrary) loadedResolver = Resolver{};
    return result;
}

void UnloadAddressResolver() {
    std::lock_guard<std::mutex> lock(resolverMutex);
    UnloadResolver(loadedResolver);
}

int ResolvePassive(const std::string& node, const std::string& service, std::vector<BindAddress>& addresses) {
    addresses.clear();
    // A NUL inside would silently shorten the name the resolver sees.
    if (node.find('\0') != std::string::npos || service.find('\0') != std::string::npos) return EAI_NONAME;
    if (!win32::EnsureWinsock()) return WSANOTINITIALISED;

    std::lock_guard<std::mutex> lock(resolverMutex);
    // Outside a server start (no LoadAddressResolver in force) the entry
    // points are looked up for this one call.
    Resolver own;
    const bool borrowed = loadedResolver.GetAddrInfo != nullptr && loadedResolver.FreeAddrInfo != nullptr;
    if (!borrowed && LoadResolver(own) != ResolverStatus::Loaded) {
        UnloadResolver(own);
        return EAI_FAIL;
    }
    const Resolver& resolver = borrowed ? loadedResolver : own;

    const addrinfo hints = AddrInfoHints<addrinfo>(AI_PASSIVE, AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP);
    addrinfo* list = nullptr;
    const int rc = resolver.GetAddrInfo(node.empty() ? nullptr : node.c_str(), service.c_str(), &hints, &list);
    if (rc == 0) {
        AppendBindAddresses(list, AF_INET, AF_INET6, addresses);
        resolver.FreeAddrInfo(list);
    }
    UnloadResolver(own);
    return rc;
}

int CreateUdpSocket(int family, SocketHandle& socket) {
    const int domain = family == kFamilyIPv6 ? AF_INET6 : family == kFamilyIPv4 ? AF_INET : -1;
    if (domain < 0) return WSAEAFNOSUPPORT;
    SocketHandle owned;
    if (const int error = win32::OpenSocket(domain, SOCK_DGRAM, IPPROTO_UDP, owned); error != 0) return error;
    const SOCKET s = ToSocket(owned.Get());
    // Windows IPv6 sockets are IPv6-only by default, Linux ones are not; say
    // so explicitly so that both builds bind the IPv4 and the IPv6 wildcard
    // of one port side by side.
    if (domain == AF_INET6) {
        DWORD on = 1;
        if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
            return WSAGetLastError();
        }
    }
    // Non-blocking, as WSAAsyncSelect would make it anyway: a readiness
    // report whose datagram is gone by the time of the read must not block
    // the worker.
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return WSAGetLastError();
    // Not inherited by programs we might start (the POSIX side sets CLOEXEC).
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    socket = std::move(owned);
    return 0;
}

int BindUdp(int handle, const BindAddress& address) {
    if (address.SockAddr.empty() || address.SockAddr.size() > static_cast<std::size_t>(INT_MAX)) return WSAEINVAL;
    if (bind(ToSocket(handle), reinterpret_cast<const sockaddr*>(address.SockAddr.data()),
             static_cast<int>(address.SockAddr.size())) != 0) {
        return WSAGetLastError();
    }
    return 0;
}

BatchResult ReceiveDatagrams(int handle, DatagramSlot* slots, int count) {
    BatchResult result;
    if (count > kMaxBatch) count = kMaxBatch;
    // Winsock has no batch read: read until the queue is empty. The read that
    // finds it empty also re-arms WSAAsyncSelect's FD_READ; a batch that stops
    // at the limit leaves a datagram behind, and its read re-armed it.
    while (result.Filled < count) {
        DatagramSlot& slot = slots[result.Filled];
        sockaddr_storage from{};
        int fromLength = sizeof from;
        const int n = recvfrom(ToSocket(handle), slot.Buffer, Clamp(slot.Size), 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        slot.Sender = SenderAddress{};
        if (n == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEMSGSIZE) {
                // The rest of an oversized datagram is gone already: a slot
                // of its own, reported dropped.
                slot.Truncated = true;
                slot.Count = 0;
                win32::ReadSenderAddress(from, fromLength, slot.Sender);
                ++result.Filled;
                continue;
            }
            if (result.Filled == 0) {
                result.Error = error;
                result.NothingWaiting = error == WSAEWOULDBLOCK;
            }
            WSASetLastError(error);
            break;
        }
        slot.Truncated = false;
        slot.Count = n;
        win32::ReadSenderAddress(from, fromLength, slot.Sender);
        ++result.Filled;
    }
    return result;
}

int SetReceiveBuffer(int handle, int bytes) {
    setsockopt(ToSocket(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    int granted = 0;
    int length = sizeof granted;
    if (getsockopt(ToSocket(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) != 0) return 0;
    return granted;
}

// Winsock keeps no count of the datagrams it dropped.
bool EnableDropCount(int) { return false; }
long long DropCountNow(int) { return -1; }

long SendDatagram(int handle, const BindAddress& to, const char* data, std::size_t size) {
    if (to.SockAddr.empty() || to.SockAddr.size() > static_cast<std::size_t>(INT_MAX)) {
        WSASetLastError(WSAEINVAL);
        return kTransferFailed;
    }
    // Never more than one datagram: a size beyond int is refused, not cut.
    if (size > static_cast<std::size_t>(INT_MAX)) {
        WSASetLastError(WSAEMSGSIZE);
        return kTransferFailed;
    }
    const int n = sendto(ToSocket(handle), data, static_cast<int>(size), 0,
                         reinterpret_cast<const sockaddr*>(to.SockAddr.data()), static_cast<int>(to.SockAddr.size()));
    return n == SOCKET_ERROR ? kTransferFailed : n;
}

int MessageTooLongError() { return WSAEMSGSIZE; }

// getaddrinfo's codes are Winsock error codes.
std::string ResolveErrorText(int code) { return SystemErrorText(code); }

}  // namespace quorvel::platform
