#include "net/DBaseSocket.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "net/NetTexts.h"
#include "platform/SystemError.h"
#include "platform/TcpSocket.h"

namespace quorvel {

namespace {

constexpr int kSendWaitSeconds = 10;
constexpr int kSendAttempts = 11;
constexpr std::size_t kStreamChunk = 1401;

}  // namespace

TDBaseSocket::TDBaseSocket() = default;

TDBaseSocket::~TDBaseSocket() {
    if (tls_) tls_->Close();
}

void TDBaseSocket::SetDeadline(TDeadline deadline) {
    deadline_ = deadline;
    hasDeadline_ = true;
}

bool TDBaseSocket::DeadlineReached() const {
    return hasDeadline_ && std::chrono::steady_clock::now() >= deadline_;
}

int TDBaseSocket::BoundedWaitMs(int64_t waitMs) {
    if (waitMs < 0) waitMs = 0;
    if (hasDeadline_) {
        const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline_ - std::chrono::steady_clock::now()).count();
        if (left < waitMs) waitMs = std::max<int64_t>(left, 0);
    }
    return waitMs > INT_MAX ? INT_MAX : static_cast<int>(waitMs);
}

void TDBaseSocket::SetClock(TClock clock) { clock_ = std::move(clock); }

platform::LocalTime TDBaseSocket::Now() const { return clock_ ? clock_() : platform::LocalNow(); }

void TDBaseSocket::AddLog(std::string_view message) {
    if (logList_ != nullptr) logList_->emplace_back(message);
}

void TDBaseSocket::ResetState() {
    peerAddress_ = 0;
    connected_ = false;
}

// A dotted literal comes back from the resolver as it is, without a lookup.
bool TDBaseSocket::ResolveHost() { return platform::ResolveIPv4(serverName_, peerAddress_) == 0; }

bool TDBaseSocket::CreateSocket() {
    std::lock_guard<std::mutex> lock(handleLock_);
    return !aborted_ && platform::CreateTcpSocket(socket_) == 0;
}

void TDBaseSocket::Abort() {
    std::lock_guard<std::mutex> lock(handleLock_);
    aborted_ = true;
    if (socket_.Valid()) platform::ShutdownTcpSocket(socket_.Get());
}

bool TDBaseSocket::ConnectHost() {
    // The system's own connect time-out is over two minutes on Linux (SYN
    // retries) and 21 seconds on Windows; a server that drops SYNs must not
    // hold a mail that long.
    const int waitMs = BoundedWaitMs(static_cast<int64_t>(std::max(connectTimeout_, 1)) * 1000);
    const int rc = platform::ConnectTcpWithin(socket_.Get(), peerAddress_,
                                              static_cast<uint16_t>(port_ & 0xFFFF), waitMs, &aborted_);
    if (rc != 0) {
        winsockError_ = rc;
        connected_ = false;
        return false;
    }
    connected_ = true;
    return true;
}

bool TDBaseSocket::Connect() {
    CloseSocket();
    ResetState();
    if (!ResolveHost()) {
        AddLog("ResolveHost error");
        return false;
    }
    if (!CreateSocket()) {
        AddLog("Create Socket error");
        return false;
    }
    if (!ConnectHost()) {
        AddLog("Connect to Host error");
        return false;
    }
    return true;
}

void TDBaseSocket::CloseSocket() {
    if (tls_) {
        tls_->Close();
        tls_.reset();
    }
    {
        std::lock_guard<std::mutex> lock(handleLock_);
        if (!socket_.Valid()) return;
        socket_.Reset();
    }
    connected_ = false;
}

void TDBaseSocket::Disconnect() { CloseSocket(); }

int TDBaseSocket::StartTls(const platform::TlsOptions& options, int timeoutSeconds) {
    tlsError_.clear();
    if (!socket_.Valid()) {
        tlsError_ = "no connection";
        return platform::kTlsFailed;
    }
    tls_ = std::make_unique<platform::TlsSession>();
    // Abort's flag ends the session's waits too (a shutdown does not wake a
    // waiter under Wine).
    tls_->SetCancelFlag(&aborted_);
    const int waitMs = BoundedWaitMs(static_cast<int64_t>(std::max(timeoutSeconds, 1)) * 1000);
    const int rc = tls_->Handshake(socket_.Get(), options, waitMs);
    if (rc != platform::kTlsOk) {
        tlsError_ = tls_->ErrorText();
        AddLog("TLS handshake error : " + tlsError_);
        tls_.reset();
    }
    return rc;
}

long TDBaseSocket::ReceiveSome(char* buffer, std::size_t size, int waitSeconds) {
    if (!socket_.Valid()) return kReceiveFailed;
    const int waitMs = BoundedWaitMs(static_cast<int64_t>(std::max(waitSeconds, 0)) * 1000);
    if (tls_) {
        const long n = tls_->Read(buffer, size, waitMs);
        if (n > 0) return n;
        if (n == -platform::kTlsTimedOut) return kReceiveSilent;
        if (n == -platform::kTlsClosed) return 0;
        tlsError_ = tls_->ErrorText();
        AddLog("TLS read error : " + tlsError_);
        return kReceiveFailed;
    }
    // The plain wait counts whole seconds; round up so that a deadline a
    // fraction of a second away still gets its wait.
    const int ready = WaitReadableFor(socket_.Get(), (waitMs + 999) / 1000);
    if (ready == platform::kWaitFailed && aborted_) return kReceiveFailed;
    if (ready != platform::kWaitReady) return kReceiveSilent;
    return platform::RecvSome(socket_.Get(), buffer, size);
}

int TDBaseSocket::WaitSliced(int handle, bool write, int seconds) {
    for (int left = std::max(seconds, 0);; --left) {
        if (aborted_) return platform::kWaitFailed;
        const int slice = left > 0 ? 1 : 0;
        const int rc = write ? platform::WaitWritable(handle, slice) : platform::WaitReadable(handle, slice);
        if (rc != platform::kWaitTimedOut || left <= 1) return aborted_ ? platform::kWaitFailed : rc;
    }
}

int TDBaseSocket::WaitReadableFor(int handle, int seconds) { return WaitSliced(handle, false, seconds); }

int TDBaseSocket::WaitWritableFor(int handle, int seconds) { return WaitSliced(handle, true, seconds); }

bool TDBaseSocket::SendAll(const char* data, std::size_t size) {
    if (tls_) {
        if (!socket_.Valid()) return false;
        // The same total as the plain path's attempts allow.
        const int waitMs = BoundedWaitMs(int64_t{kSendWaitSeconds} * kSendAttempts * 1000);
        const int rc = tls_->Write(data, size, waitMs);
        if (rc != platform::kTlsOk) tlsError_ = tls_->ErrorText();
        return rc == platform::kTlsOk;
    }
    int failures = 0;
    std::size_t sent = 0;
    while (sent < size) {
        if (!socket_.Valid()) return false;
        bool ok = false;
        const int waitMs = BoundedWaitMs(int64_t{kSendWaitSeconds} * 1000);
        // Past the deadline one last try without waiting (QUIT still goes
        // out when the socket takes it), then no more.
        if (waitMs == 0 && failures > 0) return false;
        if (WaitWritableFor(socket_.Get(), (waitMs + 999) / 1000) == platform::kWaitReady) {
            const long n = platform::SendSome(socket_.Get(), data + sent, size - sent);
            if (n > 0) {
                // A short write is not a failure: the rest goes out next round.
                sent += static_cast<std::size_t>(n);
                ok = true;
            }
        }
        if (!ok && ++failures >= kSendAttempts) return false;
    }
    return true;
}

void TDBaseSocket::SendText(std::string_view text, bool appendLineEnd) {
    try {
        std::string buffer(text);
        if (appendLineEnd) buffer += "\r\n";
        if (!socket_.Valid()) {
            AddLog(texts::kClosedBeforeSend);
            connected_ = false;
            return;
        }
        if (!SendAll(buffer.data(), buffer.size())) AddLog(texts::kMaybeClosed);
    } catch (const std::exception&) {
        AddLog("Send to client error : " + std::to_string(platform::LastSystemError()));
        AddLog(texts::kMaybeClosed);
    }
}

bool TDBaseSocket::SendStream(const std::string& stream) {
    bool result = true;
    try {
        for (std::size_t pos = 0; pos < stream.size(); pos += kStreamChunk) {
            if (!socket_.Valid()) {
                connected_ = false;
                break;
            }
            std::size_t count = std::min(kStreamChunk, stream.size() - pos);
            if (!SendAll(stream.data() + pos, count)) {
                AddLog("Sendstream client error : " + std::to_string(platform::LastSystemError()));
                result = false;
                break;
            }
        }
    } catch (const std::exception&) {
        AddLog(texts::kStreamSendException + std::to_string(platform::LastSystemError()));
    }
    return result;
}

}  // namespace quorvel
