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
        size_t done = 0;
        while (done < bytes.size()) {
            long n = platform::SendSome(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // Next line without its CR LF; empty with Eof() set when the client closed
    // or stayed silent for the time-out.
    std::string ReadLine(int timeoutSeconds = 10) { return ReadUntil("\r\n", timeoutSeconds); }
    // The DATA content up to and without the CR LF . CR LF end marker.
    std::string ReadData(int timeoutSeconds = 10) { return ReadUntil("\r\n.\r\n", timeoutSeconds); }
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
    void Close() { ShutdownConnection(fd_); }

    bool Eof() const { return eof_; }
    const std::string& Received() const { return received_; }

private:
    std::string ReadUntil(std::string_view end, int timeoutSeconds) {
        for (;;) {
            size_t pos = buffer_.find(end);
            if (pos != std::string::npos) {
                std::string out = buffer_.substr(0, pos);
                buffer_.erase(0, pos + end.size());
                return out;
            }
            if (!Fill(timeoutSeconds)) {
                eof_ = true;
                return {};
            }
        }
    }
    bool Fill(int timeoutSeconds) {
        if (fd_ < 0 || platform::WaitReadable(fd_, timeoutSeconds) != 1) return false;
        char chunk[65536];
        long n = platform::RecvSome(fd_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        received_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_;
    bool eof_ = false;
    std::string buffer_;
    std::string received_;
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
                if (i > 0) {
                    bool data = replies[i - 1].rfind("354", 0) == 0;
                    if (data) peer.ReadData(); else peer.ReadLine();
                    if (peer.Eof()) return;
                }
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
        received_ = peer.Received();
    }

    uint16_t port_ = 0;
    int listen_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::string received_;
    std::thread thread_;
};

}  // namespace quorvel::test
