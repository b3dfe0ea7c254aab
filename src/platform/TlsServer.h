#pragma once
// The server side of TLS on an accepted TCP connection (syslog over TLS,
// RFC 5425). POSIX: OpenSSL; Windows: Schannel. The context is loaded once
// per instance and shared, read-only, by its sessions; a session belongs to
// one connection and is driven by one thread (the worker) on a non-blocking
// socket it does not own. No call blocks and none throws: each answers with
// a step, and a failure carries an English reason.

#include <cstddef>
#include <memory>
#include <string>

namespace quorvel::platform {

// PEM files. ClientAuthorities empty asks for no client certificate; set, it
// makes every client present one that chains to an authority in that file
// (RFC 5425 5.3, certificate-based authorization).
struct TlsServerFiles {
    std::string Certificate;  // the server's certificate, its chain after it
    std::string Key;
    std::string ClientAuthorities;
};

class TlsServerContext {
public:
    // Null with *error set (names the file and the reason) when a file
    // cannot be read or the key does not match the certificate.
    static std::unique_ptr<TlsServerContext> Create(const TlsServerFiles& files, std::string* error);
    virtual ~TlsServerContext() = default;
};

// Answers of the non-blocking calls: WantRead/WantWrite mean "call again when
// the socket is readable/writable".
enum class TlsStep { Ok, WantRead, WantWrite, Closed, Failed };

class TlsServerSession {
public:
    // Null only when the library cannot make a session (out of memory).
    static std::unique_ptr<TlsServerSession> Create(const TlsServerContext& context, int socket);
    virtual ~TlsServerSession() = default;
    // Drives the handshake; Ok once it is complete. TLS 1.2 is the oldest
    // version accepted (RFC 8996 withdrew 1.0 and 1.1).
    virtual TlsStep Handshake() = 0;
    // Ok with *got > 0 decrypted bytes; WantRead/WantWrite when nothing is
    // there yet; Closed on the peer's close_notify or a plain EOF between
    // records; Failed otherwise (FailureReason says why).
    virtual TlsStep Read(char* buffer, std::size_t size, std::size_t* got) = 0;
    // True while bytes the socket already delivered wait inside the library:
    // no readiness will come for them, so the caller reads again.
    virtual bool Pending() const = 0;
    virtual std::string FailureReason() const = 0;
};

}  // namespace quorvel::platform
