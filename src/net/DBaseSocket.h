#pragma once
// The outgoing IPv4 TCP connection of the mail client: resolve, connect,
// write with bounded waits, close, and an optional trace of the steps.
// One object is used by one thread from creation to destruction; only Abort
// may come from another.

#include <chrono>
#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/SocketHandle.h"
#include "platform/TlsSession.h"

namespace quorvel {

class TDBaseSocket {
public:
    using TClock = std::function<platform::LocalTime()>;
    using TDeadline = std::chrono::steady_clock::time_point;

    // ReceiveSome's answers when no bytes came: nothing within the wait, or
    // a failure.
    static constexpr long kReceiveSilent = -2;
    static constexpr long kReceiveFailed = platform::kTransferFailed;

    TDBaseSocket();
    // Ends a TLS session that is still open; the socket closes with its owner.
    virtual ~TDBaseSocket();
    TDBaseSocket(const TDBaseSocket&) = delete;
    TDBaseSocket& operator=(const TDBaseSocket&) = delete;

    const std::string& ServerName() const { return serverName_; }
    void SetServerName(const std::string& name) { serverName_ = name; }
    // The low 16 bits are the TCP port.
    int32_t Port() const { return port_; }
    void SetPort(int32_t port) { port_ = port; }

    // Seconds a TCP connect may take before it counts as failed.
    void SetConnectTimeout(int32_t seconds) { connectTimeout_ = seconds; }
    // No connect, wait or send goes on past the deadline once one is set.
    void SetDeadline(TDeadline deadline);
    void ClearDeadline() { hasDeadline_ = false; }
    bool DeadlineReached() const;

    bool Connected() const { return connected_; }
    // Error code of the last failed TCP connect.
    int32_t WinsockError() const { return winsockError_; }
    // platform::kNoSocket when there is no socket.
    int SocketHandle() const { return socket_.Get(); }

    // Where AddLog puts the trace, one entry per step (not owned); none by
    // default.
    void SetLogList(std::vector<std::string>* list) { logList_ = list; }

    // Source of the local time for the mail's Date and Message-ID (TSMTPMail).
    void SetClock(TClock clock);

    bool Connect();
    void Disconnect();
    // Safe from any thread: ends the connection and any wait on it at once
    // (TLS waits included), and makes every later connect fail, so that the
    // owner's dialogue runs out quickly with a failure.
    void Abort();
    // The TLS handshake on the connected socket, within timeoutSeconds and
    // the deadline; from then on every send and receive goes through it.
    // kTlsOk or a platform::kTls... code, with TlsErrorText set.
    int StartTls(const platform::TlsOptions& options, int timeoutSeconds);
    bool TlsActive() const { return tls_ != nullptr && tls_->Established(); }
    const std::string& TlsErrorText() const { return tlsError_; }
    // Up to size bytes that arrive within waitSeconds (and the deadline):
    // the count, 0 when the peer closed, kReceiveSilent or kReceiveFailed.
    long ReceiveSome(char* buffer, std::size_t size, int waitSeconds);
    // Failures are logged only.
    void SendText(std::string_view text, bool appendLineEnd);
    // Sends the whole buffer in chunks of 1401 bytes.
    bool SendStream(const std::string& stream);
    void AddLog(std::string_view message);

protected:
    void ResetState();
    bool ResolveHost();
    bool CreateSocket();
    bool ConnectHost();
    void CloseSocket();

    platform::LocalTime Now() const;

    // platform::WaitReadable / WaitWritable in slices of a second, so that
    // Abort ends the wait even where shutting the socket down does not wake
    // a waiting thread (Wine): platform::kWaitFailed once aborted.
    int WaitReadableFor(int handle, int seconds);
    int WaitWritableFor(int handle, int seconds);

private:
    // Sends every byte, each write after a wait for writability of at most
    // 10 seconds; gives up after 11 failed waits or writes, or at the deadline.
    bool SendAll(const char* data, std::size_t size);
    // waitMs cut to what is left before the deadline (0 when it has passed).
    int BoundedWaitMs(int64_t waitMs);
    int WaitSliced(int handle, bool write, int seconds);

    std::string serverName_;
    int32_t port_ = 0;
    bool connected_ = false;
    int32_t winsockError_ = 0;
    platform::SocketHandle socket_;
    int32_t connectTimeout_ = 30;
    bool hasDeadline_ = false;
    TDeadline deadline_{};
    std::unique_ptr<platform::TlsSession> tls_;
    std::string tlsError_;

    uint32_t peerAddress_ = 0;  // first octet most significant
    std::vector<std::string>* logList_ = nullptr;
    TClock clock_;
    // Guards socket_ between its owner and Abort.
    std::mutex handleLock_;
    std::atomic<bool> aborted_{false};
};

}  // namespace quorvel
