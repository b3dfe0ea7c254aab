#include "platform/TlsServer.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>

#include "platform/posix/OpenSsl.h"

namespace quorvel::platform {

namespace {

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

class OpenSslContext final : public TlsServerContext {
public:
    explicit OpenSslContext(SSL_CTX* ctx) : ctx_(ctx) {}
    SSL_CTX* Get() const { return ctx_.get(); }

private:
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
};

class OpenSslSession final : public TlsServerSession {
public:
    explicit OpenSslSession(SSL* ssl) : ssl_(ssl) {}

    TlsStep Handshake() override {
        ERR_clear_error();
        errno = 0;
        const int rc = SSL_do_handshake(ssl_.get());
        if (rc == 1) return TlsStep::Ok;
        const TlsStep step = Classify(rc);
        // A peer that goes before the handshake is done did not get a
        // session either: one failure, whether it said goodbye or not.
        if (step == TlsStep::Closed) {
            reason_ = "connection closed during the handshake";
            return TlsStep::Failed;
        }
        return step;
    }

    TlsStep Read(char* buffer, std::size_t size, std::size_t* got) override {
        *got = 0;
        ERR_clear_error();
        errno = 0;
        const int rc = SSL_read_ex(ssl_.get(), buffer, size, got);
        if (rc == 1) return TlsStep::Ok;
        *got = 0;
        return Classify(rc);
    }

    bool Pending() const override { return SSL_has_pending(ssl_.get()) == 1; }

    std::string FailureReason() const override { return reason_; }

private:
    TlsStep Classify(int rc) {
        const int error = SSL_get_error(ssl_.get(), rc);
        switch (error) {
            case SSL_ERROR_WANT_READ:
                return TlsStep::WantRead;
            case SSL_ERROR_WANT_WRITE:
                return TlsStep::WantWrite;
            case SSL_ERROR_ZERO_RETURN:
                return TlsStep::Closed;
            case SSL_ERROR_SYSCALL:
                // Senders commonly close without close_notify once their
                // last record is out; between records that loses nothing.
                if (errno == 0 || errno == ECONNRESET || errno == EPIPE) {
                    ERR_clear_error();
                    return TlsStep::Closed;
                }
                reason_ = std::string("socket error: ") + std::strerror(errno);
                ERR_clear_error();
                return TlsStep::Failed;
            case SSL_ERROR_SSL: {
                const unsigned long first = ERR_peek_error();
                const int code = ERR_GET_REASON(first);
                if (code == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                    ERR_clear_error();
                    return TlsStep::Closed;
                }
                if (code == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
                    reason_ = "no client certificate";
                } else if (code == SSL_R_CERTIFICATE_VERIFY_FAILED) {
                    reason_ = std::string("certificate verify failed: ") +
                              X509_verify_cert_error_string(SSL_get_verify_result(ssl_.get()));
                } else {
                    const char* text = ERR_reason_error_string(first);
                    reason_ = text != nullptr ? text : OpenSslErrors();
                }
                ERR_clear_error();
                return TlsStep::Failed;
            }
            default:
                reason_ = OpenSslErrors();
                if (reason_.empty()) reason_ = "TLS error " + std::to_string(error);
                return TlsStep::Failed;
        }
    }

    std::unique_ptr<SSL, SslFree> ssl_;
    std::string reason_;
};

}  // namespace

std::unique_ptr<TlsServerContext> TlsServerContext::Create(const TlsServerFiles& files, std::string* error) {
    ERR_clear_error();
    auto fail = [&](const std::string& what) {
        const std::string detail = OpenSslErrors();
        *error = detail.empty() ? what : what + ": " + detail;
        return nullptr;
    };
    SSL_CTX* raw = SSL_CTX_new(TLS_server_method());
    if (raw == nullptr) return fail("cannot make a TLS context");
    auto context = std::make_unique<OpenSslContext>(raw);
    SSL_CTX* ctx = context->Get();
    // RFC 8996: TLS 1.0 and 1.1 are withdrawn.
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // The server only reads. Renegotiation a client asks for costs the
    // server a handshake each time and buys nothing here; tickets would be
    // the only bytes it writes after the handshake.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET |
                                 SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_num_tickets(ctx, 0);
    // Idle connections then hold no 34 KB record buffers: matters with
    // hundreds of senders that write a line a minute.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_use_certificate_chain_file(ctx, files.Certificate.c_str()) != 1)
        return fail("cannot load the certificate " + files.Certificate);
    const std::string mismatch =
        "the private key " + files.Key + " does not belong to the certificate " + files.Certificate;
    if (SSL_CTX_use_PrivateKey_file(ctx, files.Key.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            ERR_clear_error();
            return fail(mismatch);
        }
        return fail("cannot load the private key " + files.Key);
    }
    if (SSL_CTX_check_private_key(ctx) != 1) return fail(mismatch);
    if (!files.ClientAuthorities.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.ClientAuthorities.c_str());
        if (names == nullptr || SSL_CTX_load_verify_locations(ctx, files.ClientAuthorities.c_str(), nullptr) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            return fail("cannot load the client authorities " + files.ClientAuthorities);
        }
        // The authorities' names go into the certificate request, so that a
        // client with several certificates picks the right one.
        SSL_CTX_set_client_CA_list(ctx, names);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    ERR_clear_error();
    return context;
}

std::unique_ptr<TlsServerSession> TlsServerSession::Create(const TlsServerContext& context,
                                                           int socket) {
    SSL* ssl = SSL_new(static_cast<const OpenSslContext&>(context).Get());
    if (ssl == nullptr) return nullptr;
    auto session = std::make_unique<OpenSslSession>(ssl);
    BIO* bio = NoSignalSocketMethod() == nullptr ? nullptr : BIO_new(NoSignalSocketMethod());
    if (bio == nullptr) return nullptr;
    BIO_set_fd(bio, socket, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_accept_state(ssl);
    return session;
}

}  // namespace quorvel::platform
