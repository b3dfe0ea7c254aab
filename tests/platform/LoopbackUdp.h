#pragma once
// A UDP socket on a loopback port, made through the platform interface
// itself, so that the platform tests run unchanged on every backend.

#include <string>
#include <vector>

#include "platform/UdpSocket.h"

namespace quorvel::test {

struct LoopbackUdp {
    explicit LoopbackUdp(int family = platform::kFamilyIPv4)
        : Socket(platform::CreateUdpSocket(family)) {
        const std::string node = family == platform::kFamilyIPv4 ? "127.0.0.1" : "::1";
        std::vector<platform::BindAddress> at;
        if (Socket.Get() == platform::kNoSocket || platform::ResolvePassive(node, "0", at) != 0 || at.empty()) return;
        BindError = platform::BindUdp(Socket.Get(), at[0]);
        Port = platform::BoundPort(Socket.Get());
        at.clear();
        if (platform::ResolvePassive(node, std::to_string(Port), at) == 0 && !at.empty()) Self = at[0];
    }
    int Fd() const { return Socket.Get(); }
    // One datagram from the socket to itself: bytes sent, or -1.
    long SendToSelf(const std::string& payload) const {
        return platform::SendDatagram(Socket.Get(), Self, payload.data(), payload.size());
    }
    std::string ReadOne() const {
        char buffer[2048];
        const platform::ReceiveResult r = platform::ReceiveDatagram(Socket.Get(), buffer, sizeof buffer);
        return r.Count < 0 ? std::string("<none>") : std::string(buffer, static_cast<size_t>(r.Count));
    }
    void Close() { Socket = platform::UdpSocketHandle(); }

    platform::UdpSocketHandle Socket;
    int BindError = -1;
    uint16_t Port = 0;
    platform::BindAddress Self;
};

}  // namespace quorvel::test
