#pragma once
// A one-connection TCP server on 127.0.0.1 whose behaviour each test scripts,
// for driving clients through refusals, silences, split replies and resets.
// Records every byte the client sent.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvel::test {

class ScriptedPeer {
public:
    explicit ScriptedPeer(int fd) : fd_(fd) {}

    void Send(std::string_view bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
    }
    static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // Next line without its CR LF; empty with Eof() set when the client closed
    // or stayed silent for the time-out.
    std::string ReadLine(int timeoutMs = 10000) { return ReadUntil("\r\n", timeoutMs); }
    // The DATA content up to and without the CR LF . CR LF end marker.
    std::string ReadData(int timeoutMs = 10000) { return ReadUntil("\r\n.\r\n", timeoutMs); }
    // Reads whatever comes until the client closes or falls silent.
    void Drain(int timeoutMs = 10000) {
        while (Fill(timeoutMs)) {
        }
    }
    // An abortive close: the client's next writes meet a reset.
    void Reset() {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(fd_);
        fd_ = -1;
    }
    void Close() {
        ::shutdown(fd_, SHUT_RDWR);
    }

    bool Eof() const { return eof_; }
    const std::string& Received() const { return received_; }
    int Fd() const { return fd_; }

private:
    std::string ReadUntil(std::string_view end, int timeoutMs) {
        for (;;) {
            size_t pos = buffer_.find(end);
            if (pos != std::string::npos) {
                std::string out = buffer_.substr(0, pos);
                buffer_.erase(0, pos + end.size());
                return out;
            }
            if (!Fill(timeoutMs)) {
                eof_ = true;
                return {};
            }
        }
    }
    bool Fill(int timeoutMs) {
        if (fd_ < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char chunk[65536];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
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

    explicit ScriptedServer(Script script) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(listen_, 4);
        socklen_t len = sizeof sa;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this, script] { Run(script); });
    }
    ~ScriptedServer() { Join(); }

    uint16_t Port() const { return port_; }
    // Waits for the script to end; then Received() is complete.
    void Join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listen_ >= 0) ::close(listen_);
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
        // Poll in short steps so a test whose client never connects ends.
        while (fd < 0) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 50) == 1) {
                fd = ::accept(listen_, nullptr, nullptr);
            } else if (stop_) {
                break;
            }
        }
        if (fd < 0) return;
        accepted_ = true;
        ScriptedPeer peer(fd);
        script(peer);
        // Keep what the client sends after the script, e.g. its QUIT.
        peer.Drain(3000);
        received_ = peer.Received();
        if (peer.Fd() >= 0) ::close(peer.Fd());
    }

    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::string received_;
    std::thread thread_;
};

}  // namespace quorvel::test
