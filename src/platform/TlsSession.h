#pragma once
// A TLS client session over a TCP socket that is already connected (alert
// mail: implicit TLS, or STARTTLS after the plain-text EHLO). POSIX: OpenSSL;
// Windows: Schannel. One session is used by one thread. Failures are codes
// plus a text (ErrorText), never exceptions. The session does not own the
// socket and switches it to non-blocking mode for its own waits; shutting the
// socket down from another thread ends any wait of the session at once.

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace quorvel::platform {

// Results of the session's calls; Read returns the negated code.
inline constexpr int kTlsOk = 0;
inline constexpr int kTlsTimedOut = 1;   // the wait ran out before the peer answered
inline constexpr int kTlsClosed = 2;     // the peer closed the connection
inline constexpr int kTlsUntrusted = 3;  // certificate chain or host name refused
inline constexpr int kTlsFailed = 4;     // any other handshake, library or socket failure

struct TlsOptions {
    // The name the server's certificate must carry: a host name (also sent
    // as the server name indication) or a dotted IPv4 literal, which must
    // then be one of the certificate's IP addresses.
    std::string HostName;
    // False accepts any certificate (the connection is encrypted, but not
    // authenticated).
    bool Verify = true;
    // PEM file of the authorities to trust instead of the system's store.
    std::string CaFile;
};

class TlsSession {
public:
    TlsSession();
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // The client handshake on `socket`, waiting at most timeoutMs for the
    // whole of it. kTlsOk, or a code with ErrorText set.
    int Handshake(int socket, const TlsOptions& options, int timeoutMs);
    // Application bytes: up to size of them (> 0), or -kTlsTimedOut when
    // nothing arrived within timeoutMs, -kTlsClosed, -kTlsFailed.
    long Read(char* buffer, std::size_t size, int timeoutMs);
    // Sends every byte within timeoutMs: kTlsOk or a code.
    int Write(const char* data, std::size_t size, int timeoutMs);
    // Sends the closing alert without waiting for the peer's, and ends the
    // session; the socket stays open. Harmless when there is no session.
    void Close();

    // Every wait of the session looks at *flag at least once a second and
    // gives up (kTlsClosed) once it is true: where shutting the socket down
    // from another thread does not wake a waiter (Wine), this ends it.
    void SetCancelFlag(const std::atomic<bool>* flag) { cancel_ = flag; }

    bool Established() const;
    const std::string& ErrorText() const { return error_; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::string error_;
    const std::atomic<bool>* cancel_ = nullptr;
};

}  // namespace quorvel::platform
