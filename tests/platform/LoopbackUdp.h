#pragma once
// A UDP socket on a loopback port, made through the platform interface
// itself, so that the platform tests run unchanged on every backend.

#include <string>
#include <vector>

#include "platform/UdpSocket.h"

namespace quorvel::test {

struct LoopbackUdp {
    LoopbackUdp() {
        if (platform::CreateUdpSocket(platform::kFamilyIPv4, Socket) != 0) return;
        platform::BindIPv4(Socket.Get(), 0x7F000001, 0);
        Port = platform::BoundPort(Socket.Get());
        std::vector<platform::BindAddress> self;
        if (platform::ResolvePassive("127.0.0.1", std::to_string(Port), self) == 0) Self = self[0];
    }
    int Fd() const { return Socket.Get(); }
    // One datagram from the socket to itself: bytes sent, or kTransferFailed.
    long SendToSelf(const std::string& payload) const {
        return platform::SendDatagram(Socket.Get(), Self, payload.data(), payload.size());
    }
    void ReadOne() const {
        char buffer[2048];
        platform::DatagramSlot slot;
        slot.Buffer = buffer, slot.Size = sizeof buffer;
        platform::ReceiveDatagrams(Socket.Get(), &slot, 1);
    }
    void Close() { Socket.Reset(); }

    platform::SocketHandle Socket;
    uint16_t Port = 0;
    platform::BindAddress Self;
};

}  // namespace quorvel::test
