#pragma once
// A UDP socket on a loopback port, made through the platform interface
// itself, so that the platform tests run unchanged on every backend.

#include <string>
#include <vector>

#include "platform/UdpSocket.h"

namespace quorvel::test {

struct LoopbackUdp {
    LoopbackUdp() {
        std::vector<platform::BindAddress> at;
        if (platform::CreateUdpSocket(platform::kFamilyIPv4, Socket) != 0 ||
            platform::ResolvePassive("127.0.0.1", "0", at) != 0 || at.empty())
            return;
        BindError = platform::BindUdp(Socket.Get(), at[0]);
        Port = platform::BoundPort(Socket.Get());
        if (platform::ResolvePassive("127.0.0.1", std::to_string(Port), at) == 0) Self = at.back();
    }
    int Fd() const { return Socket.Get(); }
    // One datagram from the socket to itself: bytes sent, or kTransferFailed.
    long SendToSelf(const std::string& payload) const {
        return platform::SendDatagram(Socket.Get(), Self, payload.data(), payload.size());
    }
    // Takes the next datagram off the queue.
    void ReadOne() const {
        char buffer[2048];
        platform::DatagramSlot slot;
        slot.Buffer = buffer;
        slot.Size = sizeof buffer;
        platform::ReceiveDatagrams(Socket.Get(), &slot, 1);
    }
    void Close() { Socket.Reset(); }

    platform::SocketHandle Socket;
    int BindError = -1;
    uint16_t Port = 0;
    platform::BindAddress Self;
};

}  // namespace quorvel::test
