// Stream reception of one instance: its listeners, the accept and read of
// each connection, the frames handed to the instance, and the back-pressure.

#include "server/tcp/StreamReception.h"

#include <utility>

#include "platform/SystemError.h"
#include "platform/TcpListener.h"
#include "server/SenderText.h"
#include "server/ServerTexts.h"

namespace quorvel {

namespace {

// Room for a few TLS records at once; a plain read takes what is there.
constexpr size_t kReadChunk = 64u << 10;

const char* KindName(bool tls) { return tls ? "TLS" : "TCP"; }

std::string PortText(const std::string& address, int family, int port) {
    return (family == platform::kFamilyIPv6 ? "[" + address + "]" : address) + " port " + std::to_string(port);
}

}  // namespace

TStreamReception::TStreamReception(const TReceptionSettings& settings, size_t messageLimit,
                                   TInstanceCounters& counters, TStreamSink& sink)
    : settings_(settings), limit_(messageLimit), counters_(counters), sink_(sink) {}

// The queue is not touched here: it may be gone already (a failed start ends
// the worker before the instance). Closed descriptors leave its readiness
// set by themselves.
TStreamReception::~TStreamReception() = default;

bool TStreamReception::OpenListener(const platform::BindAddress& bound, TKind kind, std::string* failure,
                                    std::string* on) {
    const bool tls = kind == TKind::Tls;
    const int port = tls ? settings_.TlsPort : settings_.TcpPort;
    const platform::BindAddress address = platform::WithPort(bound, static_cast<uint16_t>(port));
    const std::string where = std::string(KindName(tls)) + " " +
                              PortText(platform::BindAddressText(address), address.Family, port);
    TListener listener;
    listener.Kind = kind;
    const char* step = nullptr;
    int error = platform::OpenTcpListener(address, listener.Socket, &step);
    if (error == 0) {
        step = "register";
        const size_t index = listeners_.size();
        error = queue_->RegisterSocket(
            listener.Socket.Get(), WM_SYSLOG_STREAM_ACCEPT,
            [this, index](unsigned, int64_t, int64_t) { OnAccept(index); }, platform::kSocketAccept);
    }
    if (error != 0) {
        sink_.StreamLog(texts::kLogStreamListenFailed + where + " (" + step + " " + std::to_string(error) + ")", "");
        if (failure != nullptr && failure->empty()) {
            *failure = std::string("cannot listen on ") + where + " (" + step + "): " + platform::SystemErrorText(error);
        }
        if (listener.Socket.Valid()) listeners_.push_back(std::move(listener));
        return false;
    }
    listener.Registered = true;
    listeners_.push_back(std::move(listener));
    sink_.StreamLog(texts::kLogStreamListening + where, "");
    if (on != nullptr) *on += ", " + where;
    return true;
}

bool TStreamReception::Start(platform::MessageQueue& queue, const std::vector<platform::BindAddress>& addresses,
                             std::string* failure, std::string* listeningOn) {
    queue_ = &queue;
    if (!settings_.Streams()) return true;
    if (settings_.TlsPort > 0) {
        std::string error;
        tls_ = platform::TlsServerContext::Create(
            {settings_.TlsCertFile, settings_.TlsKeyFile, settings_.TlsClientCaFile}, &error);
        if (!tls_) {
            sink_.StreamLog(texts::kLogTlsContextFailed + error, "");
            if (failure != nullptr && failure->empty()) *failure = "cannot load the TLS certificate or key: " + error;
            return false;
        }
    }
    if (addresses.empty()) {
        if (failure != nullptr && failure->empty()) *failure = "no address to listen on for TCP or TLS";
        return false;
    }
    bool ok = true;
    for (const platform::BindAddress& address : addresses) {
        if (settings_.TcpPort > 0 && !OpenListener(address, TKind::Tcp, failure, listeningOn)) ok = false;
        if (settings_.TlsPort > 0 && !OpenListener(address, TKind::Tls, failure, listeningOn)) ok = false;
    }
    if (!ok) return false;
    if (const int error = queue_->StartTimer(kTickMilliseconds, [this] { OnTick(); }, &timer_); error != 0) {
        if (failure != nullptr && failure->empty()) {
            *failure = "cannot start the stream reception's timer: " + platform::SystemErrorText(error);
        }
        return false;
    }
    timerRunning_ = true;
    return true;
}

void TStreamReception::Stop() {
    while (!connections_.empty()) Close(connections_.begin()->first, {}, false);
    if (queue_ != nullptr) {
        for (TListener& listener : listeners_) {
            if (listener.Registered) queue_->UnregisterSocket(listener.Socket.Get());
        }
        if (timerRunning_) queue_->StopTimer(timer_);
        if (pausedTimerRunning_) queue_->StopTimer(pausedTimer_);
    }
    timerRunning_ = pausedTimerRunning_ = false;
    listeners_.clear();
    paused_ = false;
}

bool TStreamReception::Register(TConnection& c) {
    const int socket = c.Socket.Get();
    c.Registered = queue_->RegisterSocket(
                       socket, WM_SYSLOG_STREAM_READ, [this, socket](unsigned, int64_t, int64_t p2) { OnRead(socket, static_cast<int>((p2 >> 16) & 0xFFFF)); },
                       platform::kSocketRead | platform::kSocketClose) == 0;
    return c.Registered;
}

void TStreamReception::OnAccept(size_t index) {
    if (index >= listeners_.size()) return;
    TListener& listener = listeners_[index];
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        platform::SocketHandle socket;
        platform::SenderAddress peer;
        const int error = platform::AcceptTcp(listener.Socket.Get(), socket, peer);
        if (error != 0) {
            // Out of descriptors, above all: the listener would be reported
            // ready at once again, so it rests until the next tick.
            if (!platform::WouldBlock(error)) {
                queue_->UnregisterSocket(listener.Socket.Get());
                listener.Registered = false;
            }
            return;
        }
        std::string raw;
        AppendSenderText(raw, peer, peer.Family == platform::kFamilyIPv6);
        if (AdmitPeer(peer, raw)) Adopt(std::move(socket), listener.Kind, std::move(raw));
    }
}

bool TStreamReception::AdmitPeer(const platform::SenderAddress& peer, const std::string& raw) {
    if (!settings_.AllowedSenders.Admits(peer.Family, peer.Bytes.data())) {
        TInstanceCounters::Add(counters_.ConnectionsRefused);
        sink_.StreamSenderRefused(raw);
        return false;
    }
    if (connections_.size() < static_cast<size_t>(settings_.MaxConnections)) return true;
    TInstanceCounters::Add(counters_.ConnectionsRefused);
    const TClock::time_point now = TClock::now();
    if (now >= nextOverLimitReport_) {
        nextOverLimitReport_ = now + kReportInterval;
        sink_.StreamLog(texts::kLogConnectionOverLimit + std::to_string(settings_.MaxConnections) +
                            texts::kLogCountConnections + ")",
                        raw);
    }
    return false;
}

void TStreamReception::Adopt(platform::SocketHandle socket, TKind kind, std::string raw) {
    auto c = std::make_unique<TConnection>(limit_);
    c->Socket = std::move(socket);
    c->Kind = kind;
    c->RawPeer = std::move(raw);
    c->LinePeer = LineSenderText(c->RawPeer);
    c->LastRead = c->Accepted = TClock::now();
    if (c->Kind == TKind::Tls) {
        c->Tls = platform::TlsServerSession::Create(*tls_, c->Socket.Get());
        if (!c->Tls) {
            TInstanceCounters::Add(counters_.ConnectionsFailed);
            return;
        }
    }
    if (!paused_ && !Register(*c)) {
        TInstanceCounters::Add(counters_.ConnectionsFailed);
        return;
    }
    TInstanceCounters::Add(counters_.ConnectionsAccepted);
    TInstanceCounters::Add(counters_.ConnectionsOpen);
    const int key = c->Socket.Get();
    connections_[key] = std::move(c);
}

void TStreamReception::Deliver(TConnection& c, std::string_view message, TFrameEnd end) {
    TInstanceCounters::Add(counters_.Received);
    TInstanceCounters::Add(c.Kind == TKind::Tls ? counters_.ReceivedTls : counters_.ReceivedTcp);
    if (end == TFrameEnd::Cut) {
        TInstanceCounters::Add(counters_.FramesCut);
        const TClock::time_point now = TClock::now();
        if (now >= nextCutReport_) {
            // The discarded bytes of this connection so far: the frame's
            // rest may still be on its way.
            nextCutReport_ = now + kReportInterval;
            sink_.StreamLog(texts::kLogFrameCut + std::to_string(c.Reader.Discarded()) + texts::kLogCountBytes + ")",
                            c.RawPeer);
        }
    } else if (end == TFrameEnd::Unfinished) {
        TInstanceCounters::Add(counters_.FramesTruncated);
        sink_.StreamLog(texts::kLogFrameTruncated, c.RawPeer);
    }
    sink_.StreamMessage(message, c.LinePeer, c.RawPeer);
}

void TStreamReception::OnRead(int socket, int error) {
    auto it = connections_.find(socket);
    if (it == connections_.end() || !it->second->Registered) return;
    if (ReadConnection(*it->second, error) && !sink_.StreamReadDone()) PauseReading();
}

bool TStreamReception::ReadConnection(TConnection& c, int pendingError) {
    if (!readBuffer_) readBuffer_.reset(new char[kReadChunk]);
    const TFrameReader::TSink deliver = [this, &c](std::string_view message, TFrameEnd end) { Deliver(c, message, end); };
    size_t budget = kReadBudget;
    while (budget > 0) {
        size_t got = 0;
        const TReadStep step = c.Tls ? ReadTls(c, pendingError, got) : ReadPlain(c, pendingError, got);
        if (step == TReadStep::Again) continue;
        if (step == TReadStep::Later) break;
        if (step == TReadStep::Closed) return false;
        c.LastRead = TClock::now();
        c.Reader.Feed(std::string_view(readBuffer_.get(), got), deliver);
        budget -= std::min(budget, got);
    }
    return true;
}

TStreamReception::TReadStep TStreamReception::ReadTls(TConnection& c, int pendingError, size_t& got) {
    const int socket = c.Socket.Get();
    if (!c.Handshaken) {
        const platform::TlsStep step = c.Tls->Handshake();
        if (step == platform::TlsStep::Ok) {
            c.Handshaken = true;
            return TReadStep::Again;
        }
        if (step == platform::TlsStep::WantRead || step == platform::TlsStep::WantWrite) return TReadStep::Later;
        NoteHandshakeFailure(c, c.Tls->FailureReason());
        Close(socket, {}, true);
        return TReadStep::Closed;
    }
    const platform::TlsStep step = c.Tls->Read(readBuffer_.get(), kReadChunk, &got);
    if (step == platform::TlsStep::WantRead || step == platform::TlsStep::WantWrite) return TReadStep::Later;
    if (step == platform::TlsStep::Closed) {
        CloseAtPeerEnd(socket, pendingError);
        return TReadStep::Closed;
    }
    if (step == platform::TlsStep::Failed) {
        Close(socket, "TLS: " + c.Tls->FailureReason(), true);
        return TReadStep::Closed;
    }
    return TReadStep::Got;
}

TStreamReception::TReadStep TStreamReception::ReadPlain(TConnection& c, int pendingError, size_t& got) {
    const int socket = c.Socket.Get();
    const long n = platform::ReadStream(socket, readBuffer_.get(), kReadChunk);
    if (n == 0) {
        // The queue reads the socket's error for its report, and so clears
        // it: a reset would otherwise pass for a clean end.
        CloseAtPeerEnd(socket, pendingError);
        return TReadStep::Closed;
    }
    if (n < 0) {
        const int error = platform::LastSystemError();
        if (platform::WouldBlock(error)) return TReadStep::Later;
        Close(socket, texts::kCauseReadFailed + std::to_string(error), true);
        return TReadStep::Closed;
    }
    got = static_cast<size_t>(n);
    return TReadStep::Got;
}

void TStreamReception::CloseAtPeerEnd(int socket, int pendingError) {
    if (pendingError != 0) {
        Close(socket, texts::kCauseReadFailed + std::to_string(pendingError), true);
    } else {
        Close(socket, {}, false);
    }
}

void TStreamReception::Close(int socket, std::string_view cause, bool failed) {
    auto it = connections_.find(socket);
    if (it == connections_.end()) return;
    std::unique_ptr<TConnection> c = std::move(it->second);
    connections_.erase(it);
    if (c->Registered && queue_ != nullptr) queue_->UnregisterSocket(socket);
    c->Reader.Finish([this, &c](std::string_view message, TFrameEnd end) { Deliver(*c, message, end); });
    if (!sink_.StreamReadDone()) PauseReading();
    if (failed) TInstanceCounters::Add(counters_.ConnectionsFailed);
    if (!cause.empty()) sink_.StreamLog(texts::kLogConnectionClosed + std::string(cause), c->RawPeer);
    TInstanceCounters::Subtract(counters_.ConnectionsOpen);
}

void TStreamReception::NoteHandshakeFailure(const TConnection& c, const std::string& reason) {
    const TClock::time_point now = TClock::now();
    auto it = handshakeReported_.find(c.RawPeer);
    if (it != handshakeReported_.end() && now < it->second) return;
    handshakeReported_[c.RawPeer] = now + kReportInterval;
    sink_.StreamLog(texts::kLogTlsHandshakeFailed + reason, c.RawPeer);
}

void TStreamReception::PauseReading() {
    if (paused_) return;
    paused_ = true;
    // Without it the regular tick resumes, only later.
    pausedTimerRunning_ = queue_->StartTimer(kPausedTickMilliseconds, [this] {
        if (paused_ && sink_.StreamRoomAgain()) ResumeReading();
    }, &pausedTimer_) == 0;
    // The system's receive buffer and then the sender's window fill: the
    // sender waits, as rsyslog's and syslog-ng's flow control make it wait.
    for (auto& entry : connections_) {
        TConnection& c = *entry.second;
        if (!c.Registered) continue;
        queue_->UnregisterSocket(c.Socket.Get());
        c.Registered = false;
    }
}

void TStreamReception::ResumeReading() {
    paused_ = false;
    if (pausedTimerRunning_) queue_->StopTimer(pausedTimer_);
    pausedTimerRunning_ = false;
    const TClock::time_point now = TClock::now();
    std::vector<int> pending;
    for (auto& entry : connections_) {
        TConnection& c = *entry.second;
        // A pause is no idleness of the sender's, nor a slow handshake.
        c.LastRead = now;
        if (!c.Handshaken) c.Accepted = now;
        if (!c.Registered) Register(c);
        if (c.Tls && c.Tls->Pending()) pending.push_back(entry.first);
    }
    for (int socket : pending) OnRead(socket);
}

void TStreamReception::OnTick() {
    if (paused_) {
        if (!sink_.StreamRoomAgain()) return;
        ResumeReading();
    }
    for (TListener& listener : listeners_) {
        if (listener.Registered) continue;
        const size_t index = static_cast<size_t>(&listener - listeners_.data());
        listener.Registered =
            queue_->RegisterSocket(
                listener.Socket.Get(), WM_SYSLOG_STREAM_ACCEPT,
                [this, index](unsigned, int64_t, int64_t) { OnAccept(index); }, platform::kSocketAccept) == 0;
    }
    const TClock::time_point now = TClock::now();
    std::vector<int> pending, idle, unshaken;
    for (auto& entry : connections_) {
        const TConnection& c = *entry.second;
        if (c.Tls && !c.Handshaken && now - c.Accepted >= kHandshakeTimeout) {
            unshaken.push_back(entry.first);
            continue;
        }
        // Bytes the TLS library holds bring no readiness of their own.
        if (c.Registered && c.Tls && c.Tls->Pending()) pending.push_back(entry.first);
        if (settings_.IdleTimeout > 0 && now - c.LastRead >= std::chrono::seconds(settings_.IdleTimeout)) {
            idle.push_back(entry.first);
        }
    }
    for (int socket : pending) OnRead(socket);
    for (int socket : idle) Close(socket, texts::kCauseIdle, false);
    for (int socket : unshaken) {
        auto it = connections_.find(socket);
        if (it == connections_.end()) continue;
        NoteHandshakeFailure(*it->second, "no handshake within " + std::to_string(kHandshakeTimeout.count()) + " s");
        Close(socket, {}, true);
    }
    if (now >= nextIdleCheck_) {
        nextIdleCheck_ = now + std::chrono::seconds(1);
        for (auto it = handshakeReported_.begin(); it != handshakeReported_.end();) {
            it = now >= it->second ? handshakeReported_.erase(it) : std::next(it);
        }
    }
}

}  // namespace quorvel
