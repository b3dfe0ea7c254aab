#include "platform/TlsSession.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <climits>

#include "platform/TcpSocket.h"
#include "platform/posix/OpenSsl.h"

namespace quorvel::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

constexpr int kWaitCancelled = -2;

// 1 ready, 0 time-out, -1 failed wait, kWaitCancelled. A hung-up or shut-down
// socket counts as ready: the next call then reports it. Slices of a second
// let a cancel be seen in time.
int WaitFor(int fd, short events, int ms, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel != nullptr && cancel->load()) return kWaitCancelled;
        const int slice = ms < 1000 ? ms : 1000;
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, slice);
        if (rc < 0 && errno == EINTR) continue;
        if (rc != 0) return rc < 0 ? -1 : 1;
        ms -= slice;
        if (ms <= 0) return 0;
    }
}

}  // namespace

struct TlsSession::Impl {
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
    int fd = -1;
    bool established = false;
    const std::atomic<bool>* cancel = nullptr;

    // Drives one OpenSSL call until it completes, waiting for the socket as
    // it asks, at most until the deadline. The call's result (> 0), or the
    // negated code.
    template <typename Call>
    int Drive(Call call, SteadyClock::time_point deadline, std::string& error) {
        for (;;) {
            ERR_clear_error();
            errno = 0;
            const int rc = call();
            if (rc > 0) return rc;
            const int reason = SSL_get_error(ssl.get(), rc);
            short events = 0;
            if (reason == SSL_ERROR_WANT_READ) events = POLLIN;
            if (reason == SSL_ERROR_WANT_WRITE) events = POLLOUT;
            if (events == 0) {
                if (reason == SSL_ERROR_ZERO_RETURN ||
                    (reason == SSL_ERROR_SYSCALL &&
                     (errno == 0 || errno == ECONNRESET || errno == EPIPE)) ||
                    (reason == SSL_ERROR_SSL &&
                     ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
                    error = "connection closed by the peer";
                    return -kTlsClosed;
                }
                error = reason == SSL_ERROR_SYSCALL ? "socket error " + std::to_string(errno)
                                                    : OpenSslErrors();
                return -kTlsFailed;
            }
            const int ready = WaitFor(fd, events, RemainingMs(deadline), cancel);
            if (ready == kWaitCancelled) {
                error = "cancelled";
                return -kTlsClosed;
            }
            if (ready == 0) {
                error = "no answer in time";
                return -kTlsTimedOut;
            }
            if (ready < 0) {
                error = "socket wait failed " + std::to_string(errno);
                return -kTlsFailed;
            }
        }
    }
};

TlsSession::TlsSession() : impl_(std::make_unique<Impl>()) {}

TlsSession::~TlsSession() {
    Close();
}

bool TlsSession::Established() const {
    return impl_->established;
}

int TlsSession::Handshake(int socket, const TlsOptions& options, int timeoutMs) {
    const auto deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    Close();
    error_.clear();
    Impl& s = *impl_;
    s.fd = socket;
    s.cancel = cancel_;
    const int flags = fcntl(socket, F_GETFL);
    if (socket < 0 || flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        error_ = "no usable socket";
        return kTlsFailed;
    }
    s.ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!s.ctx) {
        error_ = OpenSslErrors();
        return kTlsFailed;
    }
    // TLS 1.0 and 1.1 are withdrawn (RFC 8996).
    SSL_CTX_set_min_proto_version(s.ctx.get(), TLS1_2_VERSION);
    if (options.Verify) {
        SSL_CTX_set_verify(s.ctx.get(), SSL_VERIFY_PEER, nullptr);
        const int loaded =
            options.CaFile.empty()
                ? SSL_CTX_set_default_verify_paths(s.ctx.get())
                : SSL_CTX_load_verify_locations(s.ctx.get(), options.CaFile.c_str(), nullptr);
        if (loaded != 1) {
            error_ =
                "cannot load the trusted certificates " + options.CaFile + ": " + OpenSslErrors();
            return kTlsFailed;
        }
    } else {
        SSL_CTX_set_verify(s.ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    s.ssl.reset(SSL_new(s.ctx.get()));
    BIO* bio = NoSignalSocketMethod() == nullptr ? nullptr : BIO_new(NoSignalSocketMethod());
    if (!s.ssl || bio == nullptr) {
        if (bio != nullptr) BIO_free(bio);
        error_ = OpenSslErrors();
        return kTlsFailed;
    }
    BIO_set_fd(bio, socket, BIO_NOCLOSE);
    SSL_set_bio(s.ssl.get(), bio, bio);

    uint32_t literal = 0;
    const bool isAddress = ParseIPv4Literal(options.HostName, literal);
    // RFC 6066 3: the server name indication carries host names only.
    if (!isAddress && !options.HostName.empty())
        SSL_set_tlsext_host_name(s.ssl.get(), options.HostName.c_str());
    if (options.Verify) {
        X509_VERIFY_PARAM* param = SSL_get0_param(s.ssl.get());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        const int set = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, options.HostName.c_str())
                                  : X509_VERIFY_PARAM_set1_host(param, options.HostName.c_str(), 0);
        if (set != 1 || options.HostName.empty()) {
            error_ = "no host name to check the certificate against";
            return kTlsFailed;
        }
    }

    const int rc = s.Drive([&] { return SSL_connect(s.ssl.get()); }, deadline, error_);
    if (rc > 0) {
        s.established = true;
        return kTlsOk;
    }
    const long verified = SSL_get_verify_result(s.ssl.get());
    if (options.Verify && verified != X509_V_OK) {
        error_ = std::string("certificate refused: ") + X509_verify_cert_error_string(verified);
        return kTlsUntrusted;
    }
    return -rc;
}

long TlsSession::Read(char* buffer, std::size_t size, int timeoutMs) {
    Impl& s = *impl_;
    if (!s.established) {
        error_ = "no TLS session";
        return -kTlsFailed;
    }
    s.cancel = cancel_;
    const auto deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    const int chunk = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    return s.Drive([&] { return SSL_read(s.ssl.get(), buffer, chunk); }, deadline, error_);
}

int TlsSession::Write(const char* data, std::size_t size, int timeoutMs) {
    Impl& s = *impl_;
    if (!s.established) {
        error_ = "no TLS session";
        return kTlsFailed;
    }
    s.cancel = cancel_;
    const auto deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (size > 0) {
        const int chunk =
            size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
        const int rc =
            s.Drive([&] { return SSL_write(s.ssl.get(), data, chunk); }, deadline, error_);
        if (rc <= 0) return -rc;
        data += rc;
        size -= static_cast<std::size_t>(rc);
    }
    return kTlsOk;
}

void TlsSession::Close() {
    Impl& s = *impl_;
    // One try at the closing alert (RFC 8446 6.1); the peer's answer is not
    // awaited, as the socket is closed right after.
    if (s.ssl && s.established) SSL_shutdown(s.ssl.get());
    s.ssl.reset();
    s.ctx.reset();
    s.established = false;
    s.fd = -1;
}

}  // namespace quorvel::platform
