#pragma once
// A one-connection TCP server on 127.0.0.1 whose behaviour each test scripts,
// for driving clients through refusals, silences, split replies and resets.
// Records every byte the client sent. Built on the platform's own socket
// calls plus LoopbackListener.h, the per-system server side.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LoopbackListener.h"
#include "platform/TcpSocket.h"

namespace quorvel::test {

class ScriptedPeer {
public:
    explicit ScriptedPeer(int fd) : fd_(fd) {}
    ~ScriptedPeer() { platform::CloseTcpSocket(fd_); }

    void Send(std::string_view bytes) {
        for (long n; !bytes.empty() && (n = platform::SendSome(fd_, bytes.data(), bytes.size())) > 0;)
            bytes.remove_prefix(static_cast<size_t>(n));
    }
    static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // Reads past the next `end` (CR LF, or CR LF . CR LF after DATA); false
    // when the client closed or stayed silent for the time-out.
    bool ReadUntil(std::string_view end, int timeoutSeconds = 10) {
        size_t pos;
        while ((pos = buffer_.find(end)) == std::string::npos)
            if (!Fill(timeoutSeconds)) return false;
        buffer_.erase(0, pos + end.size());
        return true;
    }
    // Reads whatever comes until the client closes or falls silent.
    void Drain(int timeoutSeconds = 10) {
        while (Fill(timeoutSeconds)) {
        }
    }
    // An abortive close: the client's next writes meet a reset.
    void Reset() {
        ResetConnection(fd_);
        fd_ = -1;
    }
    // The server's side ends: the client reads end of stream, and what it
    // still sends is recorded.
    void Close() { ShutdownSending(fd_); }

    std::string received;

private:
    bool Fill(int timeoutSeconds) {
        char chunk[65536];
        const long n = fd_ < 0 || platform::WaitReadable(fd_, timeoutSeconds) != 1
                           ? 0 : platform::RecvSome(fd_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        received.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_;
    std::string buffer_;
};

class ScriptedServer {
public:
    using Script = std::function<void(ScriptedPeer&)>;

    explicit ScriptedServer(Script script) : listen_(ListenLoopback(port_)) {
        thread_ = std::thread([this, script] { Run(script); });
    }
    ~ScriptedServer() { Join(); }

    uint16_t Port() const { return port_; }
    // Waits for the script to end; then Received() is complete.
    void Join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        platform::CloseTcpSocket(listen_);
        listen_ = -1;
    }
    bool Accepted() const { return accepted_; }
    const std::string& Received() const { return received_; }

    // A script that answers the greeting and every command in turn with the
    // next reply; "\x01" inside a reply flushes and pauses 300 ms, so one
    // reply arrives in several reads. After a 354 reply the DATA content is
    // read up to its end marker.
    static Script Replies(std::vector<std::string> replies) {
        return [replies](ScriptedPeer& peer) {
            for (size_t i = 0; i < replies.size(); ++i) {
                const bool data = i > 0 && replies[i - 1].rfind("354", 0) == 0;
                if (i > 0 && !peer.ReadUntil(data ? "\r\n.\r\n" : "\r\n")) return;
                std::string_view r = replies[i];
                size_t cut;
                while ((cut = r.find('\x01')) != std::string_view::npos) {
                    peer.Send(r.substr(0, cut));
                    ScriptedPeer::Pause(300);
                    r.remove_prefix(cut + 1);
                }
                peer.Send(r);
            }
        };
    }

private:
    void Run(const Script& script) {
        int fd = -1;
        // Look in short steps so a test whose client never connects ends.
        while (fd < 0 && listen_ >= 0) {
            if (platform::WaitReadable(listen_, 0) == 1) {
                fd = AcceptClient(listen_);
            } else if (stop_) {
                return;
            } else {
                ScriptedPeer::Pause(20);
            }
        }
        if (fd < 0) return;
        accepted_ = true;
        ScriptedPeer peer(fd);
        script(peer);
        // Keep what the client sends after the script, e.g. its QUIT.
        peer.Drain(3);
        received_ = peer.received;
    }

    uint16_t port_ = 0;
    int listen_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::string received_;
    std::thread thread_;
};

}  // namespace quorvel::test
