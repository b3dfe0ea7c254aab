#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <utility>

#include "platform/AddressInfo.h"
#include "platform/SystemError.h"
#include "platform/posix/SenderAddress.h"

namespace quorvel::platform {

ResolverStatus LoadAddressResolver() { return ResolverStatus::Loaded; }

void UnloadAddressResolver() {}

int ResolvePassive(const std::string& node, const std::string& service, std::vector<BindAddress>& addresses) {
    addresses.clear();
    // A NUL inside would silently shorten the name the resolver sees.
    if (node.find('\0') != std::string::npos || service.find('\0') != std::string::npos) return EAI_NONAME;
    const addrinfo hints = AddrInfoHints<addrinfo>(AI_PASSIVE, AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP);
    addrinfo* list = nullptr;
    int rc = getaddrinfo(node.empty() ? nullptr : node.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) return rc;
    AppendBindAddresses(list, AF_INET, AF_INET6, addresses);
    freeaddrinfo(list);
    return 0;
}

int CreateUdpSocket(int family, SocketHandle& socket) {
    const int domain = family == kFamilyIPv6 ? AF_INET6 : family == kFamilyIPv4 ? AF_INET : -1;
    if (domain < 0) return EAFNOSUPPORT;
    // Non-blocking: Linux may report a UDP socket readable and then drop the
    // datagram on its checksum at read time (select(2), BUGS); a blocking read
    // would then hang the worker and every instance with it.
    SocketHandle fd(::socket(domain, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!fd.Valid()) return errno;
    if (domain == AF_INET6) {
        // Linux IPv6 sockets take IPv4 too (bindv6only=0), Windows ones do
        // not; without this the IPv4 wildcard socket of the port cannot bind.
        int on = 1;
        if (setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) return errno;
    }
    socket = std::move(fd);
    return 0;
}

int BindUdp(int handle, const BindAddress& address) {
    if (address.SockAddr.empty()) return EINVAL;
    if (bind(handle, reinterpret_cast<const sockaddr*>(address.SockAddr.data()),
             static_cast<socklen_t>(address.SockAddr.size())) != 0) {
        return errno;
    }
    return 0;
}

namespace {

void ReadSender(const sockaddr_storage& from, socklen_t length, SenderAddress& sender) {
    if (length != 0) ReadSenderAddress(from, sender);
}

}  // namespace

BatchResult ReceiveDatagrams(int handle, DatagramSlot* slots, int count) {
    BatchResult result;
    if (count > kMaxBatch) count = kMaxBatch;
    if (count <= 0) return result;
    sockaddr_storage from[kMaxBatch];
    iovec parts[kMaxBatch];
    mmsghdr headers[kMaxBatch];
    // Room for the SO_RXQ_OVFL counter that comes with every datagram once
    // EnableDropCount is on.
    alignas(cmsghdr) char control[kMaxBatch][CMSG_SPACE(sizeof(uint32_t))];
    for (int i = 0; i < count; ++i) {
        parts[i].iov_base = slots[i].Buffer;
        parts[i].iov_len = slots[i].Size;
        msghdr& h = headers[i].msg_hdr;
        h.msg_name = &from[i];
        h.msg_namelen = sizeof from[i];
        h.msg_iov = &parts[i];
        h.msg_iovlen = 1;
        h.msg_control = control[i];
        h.msg_controllen = sizeof control[i];
        h.msg_flags = 0;
        headers[i].msg_len = 0;
    }
    int n;
    do {
        n = recvmmsg(handle, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        result.Error = errno;
        result.NothingWaiting = errno == EAGAIN || errno == EWOULDBLOCK;
        return result;
    }
    for (int i = 0; i < n; ++i) {
        DatagramSlot& slot = slots[i];
        const msghdr& h = headers[i].msg_hdr;
        slot.Sender = SenderAddress{};
        ReadSender(from[i], h.msg_namelen, slot.Sender);
        // Linux cuts an oversized datagram to the buffer and says so only in
        // the flags: report it dropped, never as a shortened message.
        slot.Truncated = (h.msg_flags & MSG_TRUNC) != 0;
        slot.Count = slot.Truncated ? 0 : static_cast<long>(headers[i].msg_len);
        for (const cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), const_cast<cmsghdr*>(c))) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&result.DropCount, CMSG_DATA(c), sizeof result.DropCount);
                result.HaveDropCount = true;
            }
        }
    }
    result.Filled = n;
    return result;
}

int SetReceiveBuffer(int handle, int bytes) {
    // SO_RCVBUFFORCE passes over net.core.rmem_max but needs CAP_NET_ADMIN;
    // everyone else gets SO_RCVBUF, capped by rmem_max.
    if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    if (getsockopt(handle, SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) return 0;
    // Linux reports twice the room for data, its bookkeeping included
    // (socket(7)); half of it is the figure comparable to the size asked.
    return granted / 2;
}

bool EnableDropCount(int handle) {
    int on = 1;
    return setsockopt(handle, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
}

long long DropCountNow(int handle) {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof meminfo;
    if (getsockopt(handle, SOL_SOCKET, SO_MEMINFO, meminfo, &length) != 0) return -1;
    if (length < (SK_MEMINFO_DROPS + 1) * sizeof meminfo[0]) return -1;
    return meminfo[SK_MEMINFO_DROPS];
}

long SendDatagram(int handle, const BindAddress& to, const char* data, std::size_t size) {
    ssize_t n;
    do {
        n = sendto(handle, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(to.SockAddr.data()),
                   static_cast<socklen_t>(to.SockAddr.size()));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? kTransferFailed : static_cast<long>(n);
}

int MessageTooLongError() { return EMSGSIZE; }

std::string ResolveErrorText(int code) {
    if (code == EAI_SYSTEM) return SystemErrorText(errno);
    const char* text = gai_strerror(code);
    return text != nullptr ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace quorvel::platform
