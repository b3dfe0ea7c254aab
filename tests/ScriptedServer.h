#pragma once
// A one-connection TCP server on 127.0.0.1 whose behaviour each test scripts,
// for driving clients through refusals, silences, split replies and resets;
// it records every byte the client sent. LoopbackListener.h: the system part.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "LoopbackListener.h"
#include "platform/TcpSocket.h"

namespace quorvel::test {

inline void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A listening socket on 127.0.0.1 and a free port; not Valid on failure.
inline platform::SocketHandle ListenLoopback(uint16_t& port) {
    platform::SocketHandle s;
    if (platform::CreateTcpSocket(s) != 0 || platform::BindIPv4(s.Get(), 0x7F000001, 0) != 0 || Listen(s.Get()) != 0)
        return {};
    port = platform::BoundPort(s.Get());
    return s;
}

class ScriptedPeer {
public:
    explicit ScriptedPeer(platform::SocketHandle socket) : socket_(std::move(socket)) {}

    // False once the client has gone.
    bool Send(std::string_view bytes) {
        for (long n; !bytes.empty() && (n = platform::SendSome(socket_.Get(), bytes.data(), bytes.size())) > 0;)
            bytes.remove_prefix(static_cast<size_t>(n));
        return bytes.empty();
    }
    // Reads past the next `end`; false when the client closed or fell silent.
    bool ReadUntil(std::string_view end) {
        size_t pos;
        while ((pos = buffer_.find(end)) == std::string::npos)
            if (!Fill(10)) return false;
        buffer_.erase(0, pos + end.size());
        return true;
    }
    // Reads whatever comes until the client closes or falls silent.
    void Drain(int timeoutSeconds = 10) { while (Fill(timeoutSeconds)) continue; }
    // An abortive close: the client's next writes meet a reset.
    void Reset() {
        SetAbortiveClose(socket_.Get());
        socket_.Reset();
    }
    // The client reads end of stream; what it still sends is recorded.
    void Close() { ShutdownSending(socket_.Get()); }

    std::string received;

private:
    bool Fill(int timeoutSeconds) {
        char chunk[65536];
        if (platform::WaitReadable(socket_.Get(), timeoutSeconds) != platform::kWaitReady) return false;
        const long n = platform::RecvSome(socket_.Get(), chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        received.append(chunk, static_cast<size_t>(n));
        return true;
    }

    platform::SocketHandle socket_;
    std::string buffer_;
};

class ScriptedServer {
public:
    using Script = std::function<void(ScriptedPeer&)>;

    explicit ScriptedServer(Script script) : listener_(ListenLoopback(port_)) {
        thread_ = std::thread([this, script] { Run(script); });
    }
    ~ScriptedServer() { Join(); }

    uint16_t Port() const { return port_; }
    // A port nobody listens on once the probe is gone.
    static uint16_t ClosedPort() { uint16_t port = 0; return ListenLoopback(port).Valid() ? port : 0; }
    // Waits for the script to end; then Received() is complete.
    void Join() {
        if (thread_.joinable()) thread_.join();
        listener_.Reset();
    }
    const std::string& Received() const { return received_; }

    // Answers the greeting and every command in turn with the next reply;
    // "\x01" inside a reply flushes and pauses 300 ms, so one reply arrives
    // in several reads. After a 354 reply the DATA content is read whole.
    static Script Replies(std::vector<std::string> replies) {
        return [replies](ScriptedPeer& peer) {
            for (size_t i = 0; i < replies.size(); ++i) {
                const bool data = i > 0 && replies[i - 1].rfind("354", 0) == 0;
                if (i > 0 && !peer.ReadUntil(data ? "\r\n.\r\n" : "\r\n")) return;
                std::string_view r = replies[i];
                for (size_t cut; (cut = r.find('\x01')) != std::string_view::npos; r.remove_prefix(cut + 1)) {
                    peer.Send(r.substr(0, cut));
                    Pause(300);
                }
                peer.Send(r);
            }
        };
    }

private:
    void Run(const Script& script) {
        if (platform::WaitReadable(listener_.Get(), 10) != platform::kWaitReady) return;
        ScriptedPeer peer(AcceptClient(listener_.Get()));
        script(peer);
        peer.Drain(3);  // what the client sends after the script, e.g. its QUIT
        received_ = peer.received;
    }

    uint16_t port_ = 0;
    platform::SocketHandle listener_;
    std::string received_;
    std::thread thread_;
};

}  // namespace quorvel::test
