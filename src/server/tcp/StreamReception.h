#pragma once
// Syslog over TCP (RFC 6587) and over TLS (RFC 5425) for one instance: its
// listeners, its connections and the back-pressure between them and the
// instance's line queue. Each message of a connection is handed to the
// instance, which makes the line a datagram with the same bytes would give.
// Worker thread only (the thread whose message queue delivers the
// notifications), apart from construction.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MessageQueue.h"
#include "platform/SocketHandle.h"
#include "platform/TlsServer.h"
#include "platform/UdpSocket.h"
#include "server/InstanceCounters.h"
#include "server/Settings.h"
#include "util/FrameReader.h"

namespace quorvel {

// Socket notifications of stream reception: a listener has a connection to
// accept, a connection has bytes (or its end) to read.
inline constexpr unsigned WM_SYSLOG_STREAM_ACCEPT = 1428;
inline constexpr unsigned WM_SYSLOG_STREAM_READ = 1528;

// What stream reception hands its messages to: the instance.
class TStreamSink {
public:
    virtual ~TStreamSink() = default;
    // One message; the sender texts as the UDP path makes them (lineSender
    // as in the line, rawSender as read).
    virtual void StreamMessage(std::string_view message, std::string_view lineSender, std::string_view rawSender) = 0;
    // Every message of one read has been handed over. False when the line
    // queue could not take them all: the rest is held, and reading stops.
    virtual bool StreamReadDone() = 0;
    // Hands on what is held, as far as the queue takes it; true when nothing
    // is held any more and the queue has room again.
    virtual bool StreamRoomAgain() = 0;
    // A connection refused by the allow-list (reported as datagrams are).
    virtual void StreamSenderRefused(std::string_view rawSender) = 0;
    virtual void StreamLog(std::string_view text, std::string_view detail) = 0;
};

class TStreamReception {
public:
    using TClock = std::chrono::steady_clock;

    // How often the reception looks at held lines, idle connections and
    // TLS bytes waiting inside the library.
    static constexpr int kTickMilliseconds = 100;
    // While reading is paused, how often the queue is looked at again: the
    // writer empties it in milliseconds, and every tick of waiting beyond
    // that is throughput lost.
    static constexpr int kPausedTickMilliseconds = 2;
    // Bytes read from one connection per notification, so that one busy
    // sender cannot starve the others or the datagrams.
    static constexpr size_t kReadBudget = 256u << 10;
    static constexpr int kAcceptsPerWake = 16;
    static constexpr std::chrono::seconds kReportInterval{60};
    // A TLS handshake not done by then fails, whatever TCPIDLETIMEOUT says:
    // a peer that connects and says nothing would hold its slot for ever.
    static constexpr std::chrono::seconds kHandshakeTimeout{30};

    TStreamReception(const TReceptionSettings& settings, size_t messageLimit, TInstanceCounters& counters,
                     TStreamSink& sink);
    ~TStreamReception();
    TStreamReception(const TStreamReception&) = delete;
    TStreamReception& operator=(const TStreamReception&) = delete;

    // Opens the TCP and TLS listeners the settings ask for on the addresses
    // (ResolvePassive's, any port: each listener puts its own) and registers
    // them with the queue; each step goes to the operation log. False with
    // *failure (English, for the console) at the first that fails; what was
    // opened stays until Stop. *listeningOn gets ", TCP ... port n" parts.
    bool Start(platform::MessageQueue& queue, const std::vector<platform::BindAddress>& addresses,
               std::string* failure, std::string* listeningOn);
    // Closes every connection (a message cut short goes on as truncated),
    // then the listeners and the timer. Nothing is logged per connection.
    // On the worker, while its queue lives; the destructor only closes.
    void Stop();

private:
    enum class TKind { Tcp, Tls };
    struct TListener {
        platform::SocketHandle Socket;
        TKind Kind = TKind::Tcp;
        bool Registered = false;
    };
    // Everything of one connection; it closes with the object.
    struct TConnection {
        explicit TConnection(size_t limit) : Reader(limit) {}
        platform::SocketHandle Socket;
        TKind Kind = TKind::Tcp;
        std::string RawPeer;   // as the UDP path reads a sender
        std::string LinePeer;  // as in the line
        TFrameReader Reader;
        std::unique_ptr<platform::TlsServerSession> Tls;
        bool Handshaken = false;
        bool Registered = false;
        TClock::time_point LastRead;
        TClock::time_point Accepted;
    };

    bool OpenListener(const platform::BindAddress& address, TKind kind, std::string* failure, std::string* on);
    void OnAccept(size_t listener);
    // error: what the notification carried (a reset, above all), 0 for none.
    void OnRead(int socket, int error = 0);
    void OnTick();
    // Reads what the connection has; false when it was closed (and is gone).
    // A peer's end with a pending error is a failure, not a clean close.
    bool ReadConnection(TConnection& c, int pendingError);
    // One read: Got with the bytes in got, Again after the handshake ended,
    // Later when nothing more is there now, Closed once the connection is
    // closed (and gone).
    enum class TReadStep { Got, Again, Later, Closed };
    TReadStep ReadTls(TConnection& c, int pendingError, size_t& got);
    TReadStep ReadPlain(TConnection& c, int pendingError, size_t& got);
    // The peer ended the connection: a failure when an error was pending.
    void CloseAtPeerEnd(int socket, int pendingError);
    // Whether a new connection from peer may stay (the allow-list, the
    // connection limit); a refusal is counted and reported.
    bool AdmitPeer(const platform::SenderAddress& peer, const std::string& raw);
    // A connection the listener accepted, set up and registered.
    void Adopt(platform::SocketHandle socket, TKind kind, std::string raw);
    // The one way a connection ends: its last message, the counts, the
    // operation-log line when the cause is not empty (not a clean close).
    void Close(int socket, std::string_view cause, bool failed);
    void Deliver(TConnection& c, std::string_view message, TFrameEnd end);
    bool Register(TConnection& c);
    void PauseReading();
    void ResumeReading();
    void NoteHandshakeFailure(const TConnection& c, const std::string& reason);

    const TReceptionSettings& settings_;
    const size_t limit_;
    TInstanceCounters& counters_;
    TStreamSink& sink_;
    platform::MessageQueue* queue_ = nullptr;
    std::unique_ptr<platform::TlsServerContext> tls_;
    std::vector<TListener> listeners_;
    std::map<int, std::unique_ptr<TConnection>> connections_;
    uint64_t timer_ = 0;
    bool timerRunning_ = false;
    uint64_t pausedTimer_ = 0;
    bool pausedTimerRunning_ = false;
    bool paused_ = false;
    std::unique_ptr<char[]> readBuffer_;
    TClock::time_point nextIdleCheck_{};
    // Rate limits of the lines that a hostile or broken peer could repeat.
    TClock::time_point nextCutReport_{};
    TClock::time_point nextOverLimitReport_{};
    std::map<std::string, TClock::time_point> handshakeReported_;  // peer: when it may be reported again
};

}  // namespace quorvel
