#include "platform/TlsSession.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
// clang-format on

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/TcpSocket.h"
#include "platform/win32/Certificates.h"

namespace quorvel::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Checks of the SSL chain policy to skip (values of wininet.h, which this
// unit does not otherwise need).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreCommonName = 0x00001000;

SOCKET ToSocket(int handle) {
    return static_cast<SOCKET>(static_cast<unsigned int>(handle));
}

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

constexpr int kWaitCancelled = -2;

// 1 ready, 0 time-out, -1 failed wait, kWaitCancelled. A reset or shut-down
// socket shows as readable (recv then says so) or in the exception set.
// Slices of a second let a cancel be seen in time: under Wine a shutdown
// from another thread does not wake select.
int WaitFor(int fd, bool forWrite, int ms, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel != nullptr && cancel->load()) return kWaitCancelled;
        const int slice = ms < 1000 ? ms : 1000;
        fd_set set, errors;
        FD_ZERO(&set);
        FD_ZERO(&errors);
        FD_SET(ToSocket(fd), &set);
        FD_SET(ToSocket(fd), &errors);
        timeval tv{0, slice * 1000};
        const int rc =
            select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &tv);
        if (rc != 0) return rc == SOCKET_ERROR ? -1 : 1;
        ms -= slice;
        if (ms <= 0) return 0;
    }
}

std::string SspiText(const char* step, SECURITY_STATUS status) {
    return SspiFailure(step, status,
                       {{SEC_E_UNTRUSTED_ROOT, " (untrusted root)"},
                        {SEC_E_WRONG_PRINCIPAL, " (name mismatch)"},
                        {SEC_E_CERT_EXPIRED, " (certificate expired)"},
                        {SEC_E_ILLEGAL_MESSAGE, " (alert from the peer)"},
                        {SEC_E_ALGORITHM_MISMATCH, " (no common cipher)"}});
}

// True when the certificate lists the IPv4 address among its subject
// alternative names (RFC 6125 6.2.1 leaves the common name out for
// addresses).
bool CertificateNamesAddress(PCCERT_CONTEXT cert, uint32_t address) {
    PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                            cert->pCertInfo->rgExtension);
    if (ext == nullptr) return false;
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    const BYTE wanted[4] = {static_cast<BYTE>(address >> 24), static_cast<BYTE>(address >> 16),
                            static_cast<BYTE>(address >> 8), static_cast<BYTE>(address)};
    bool found = false;
    for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
        found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == 4 &&
                std::memcmp(e.IPAddress.pbData, wanted, 4) == 0;
    }
    LocalFree(info);
    return found;
}

}  // namespace

struct TlsSession::Impl {
    CredHandle cred{};
    CtxtHandle ctx{};
    bool haveCred = false;
    bool haveCtx = false;
    bool established = false;
    int fd = -1;
    const std::atomic<bool>* cancel = nullptr;
    std::string target;  // server name indication; empty for an address
    SecPkgContext_StreamSizes sizes{};
    std::vector<char> incoming;  // received, not yet decrypted
    std::string plain;           // decrypted, not yet handed out

    ~Impl() { Release(); }

    void Release() {
        if (haveCtx) DeleteSecurityContext(&ctx);
        if (haveCred) FreeCredentialsHandle(&cred);
        haveCtx = haveCred = established = false;
        incoming.clear();
        plain.clear();
    }

    // kTlsOk once the socket is ready, or the code of what ended the wait.
    int Await(bool forWrite, SteadyClock::time_point deadline, const char* late, std::string& error) {
        const int ready = WaitFor(fd, forWrite, RemainingMs(deadline), cancel);
        if (ready > 0) return kTlsOk;
        if (ready == kWaitCancelled) {
            error = "cancelled";
            return kTlsClosed;
        }
        error = ready == 0 ? late : "socket wait failed " + std::to_string(WSAGetLastError());
        return ready == 0 ? kTlsTimedOut : kTlsFailed;
    }

    // Everything sent before the deadline: kTlsOk or a code.
    int SendRaw(const char* data, std::size_t size, SteadyClock::time_point deadline,
                std::string& error) {
        while (size > 0) {
            const int chunk =
                size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
            const int n = send(ToSocket(fd), data, chunk, 0);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
                continue;
            }
            const int code = WSAGetLastError();
            if (n == SOCKET_ERROR && code != WSAEWOULDBLOCK) {
                error = "socket error " + std::to_string(code);
                return kTlsFailed;
            }
            const int waited = Await(true, deadline, "no progress in time", error);
            if (waited != kTlsOk) return waited;
        }
        return kTlsOk;
    }

    // Waits until the socket is ready for the direction: kTlsOk, or the code
    // that ends the call, with its text in error (timeout: the text of a
    // time-out).
    int AwaitSocket(bool write, SteadyClock::time_point deadline, const char* timeout, std::string& error) {
        const int ready = WaitFor(fd, write, RemainingMs(deadline), cancel);
        if (ready == kWaitCancelled) {
            error = "cancelled";
            return kTlsClosed;
        }
        if (ready == 0) {
            error = timeout;
            return kTlsTimedOut;
        }
        if (ready < 0) {
            error = "socket wait failed " + std::to_string(WSAGetLastError());
            return kTlsFailed;
        }
        return kTlsOk;
    }

    // More bytes into `incoming`: kTlsOk or a code.
    int ReceiveRaw(SteadyClock::time_point deadline, std::string& error) {
        for (;;) {
            char chunk[16384 + 512];
            const int n = recv(ToSocket(fd), chunk, sizeof chunk, 0);
            if (n > 0) {
                incoming.insert(incoming.end(), chunk, chunk + n);
                return kTlsOk;
            }
            if (n == 0) {
                error = "connection closed by the peer";
                return kTlsClosed;
            }
            const int code = WSAGetLastError();
            if (code != WSAEWOULDBLOCK) {
                error = code == WSAECONNRESET || code == WSAESHUTDOWN
                            ? "connection reset by the peer"
                            : "socket error " + std::to_string(code);
                return code == WSAECONNRESET || code == WSAESHUTDOWN ? kTlsClosed : kTlsFailed;
            }
            const int waited = Await(false, deadline, "no answer in time", error);
            if (waited != kTlsOk) return waited;
        }
    }

    // The token exchange of InitializeSecurityContext until the context is
    // complete; also serves a renegotiation the server starts later.
    int Negotiate(bool first, SteadyClock::time_point deadline, std::string& error) {
        const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                             ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
        char* name = target.empty() ? nullptr : &target[0];
        bool needInput = !first && incoming.empty();
        int credentialRetries = 0;
        for (;;) {
            if (needInput) {
                const int rc = ReceiveRaw(deadline, error);
                if (rc != kTlsOk) return rc;
            }
            HandshakeBuffers buffers(incoming);
            ULONG attributes = 0;
            const bool start = first && !haveCtx;
            const SECURITY_STATUS status = InitializeSecurityContextA(
                &cred, start ? nullptr : &ctx, name, wanted, 0, 0, start ? nullptr : buffers.Input(), 0,
                start ? &ctx : nullptr, buffers.Output(), &attributes, nullptr);
            if (start && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveCtx = true;
            if (status == SEC_E_INCOMPLETE_MESSAGE ||
                (status == SEC_I_INCOMPLETE_CREDENTIALS && ++credentialRetries <= 1)) {
                // A request for a client certificate is answered without one:
                // the same input goes in again (Schannel has not consumed it).
                needInput = status == SEC_E_INCOMPLETE_MESSAGE;
                continue;
            }
            if (buffers.Token() != nullptr) {
                // Alerts come as tokens too: they go out even when the call failed.
                const int sent = buffers.TokenSize() > 0
                                     ? SendRaw(buffers.Token(), buffers.TokenSize(), deadline, error)
                                     : kTlsOk;
                if (sent != kTlsOk && status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
                    error = SspiText("handshake", status);
                    return kTlsFailed;
                }
                if (sent != kTlsOk) return sent;
            }
            if (!start) buffers.KeepUnread(incoming);
            if (status == SEC_E_OK) return kTlsOk;
            if (status == SEC_I_CONTINUE_NEEDED) {
                needInput = incoming.empty();
                continue;
            }
            error = SspiText("handshake", status);
            const bool refused = status == SEC_E_UNTRUSTED_ROOT ||
                                 status == SEC_E_WRONG_PRINCIPAL || status == SEC_E_CERT_EXPIRED ||
                                 status == CERT_E_CN_NO_MATCH;
            return refused ? kTlsUntrusted : kTlsFailed;
        }
    }

    // The server's certificate against the trusted authorities and the name.
    int VerifyPeer(const TlsOptions& options, std::string& error) {
        PCCERT_CONTEXT raw = nullptr;
        if (QueryContextAttributesA(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw) != SEC_E_OK ||
            raw == nullptr) {
            error = "the server sent no certificate";
            return kTlsUntrusted;
        }
        std::unique_ptr<const CERT_CONTEXT, CertFree> cert(raw);

        Store authorities;
        if (!options.CaFile.empty()) {
            authorities = LoadPemFile(options.CaFile, error);
            if (!authorities) return kTlsFailed;
        }
        // The intermediates the server sent and, when given, the private
        // authorities, for the chain building to find.
        bool storeFailed = false;
        DWORD code = 0;
        const Chain chain = BuildChain(cert.get(), authorities.get(), szOID_PKIX_KP_SERVER_AUTH, storeFailed, code);
        if (!chain) {
            error = (storeFailed ? "cannot open a certificate store " : "cannot build the certificate chain ") +
                    HexCode(code);
            return storeFailed ? kTlsFailed : kTlsUntrusted;
        }

        // The chain's own verdict first: the SSL policy below is not relied
        // on alone (Wine's passes a chain that ends at an unknown issuer).
        DWORD faults = chain->TrustStatus.dwErrorStatus &
                       ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                           CERT_TRUST_IS_OFFLINE_REVOCATION);
        if (!options.CaFile.empty()) faults &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
        if (faults != 0) {
            error = "certificate refused: chain status " + HexCode(faults) +
                    ((faults & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0   ? " (untrusted root)"
                     : (faults & CERT_TRUST_IS_PARTIAL_CHAIN) != 0  ? " (issuer unknown)"
                     : (faults & CERT_TRUST_IS_NOT_TIME_VALID) != 0 ? " (expired or not yet valid)"
                                                                    : "");
            return kTlsUntrusted;
        }

        DWORD ignore = 0;
        if (authorities) {
            if (!EndsInAuthority(chain.get(), authorities.get())) {
                error = "certificate refused: not issued by an authority of " + options.CaFile;
                return kTlsUntrusted;
            }
            ignore |= kIgnoreUnknownCa;
        }

        uint32_t address = 0;
        const bool isAddress = ParseIPv4Literal(options.HostName, address);
        std::wstring wideName(options.HostName.begin(), options.HostName.end());
        if (isAddress) ignore |= kIgnoreCommonName;
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara{};
        sslPara.cbSize = sizeof sslPara;
        sslPara.dwAuthType = AUTHTYPE_SERVER;
        sslPara.fdwChecks = ignore;
        sslPara.pwszServerName = isAddress ? nullptr : &wideName[0];
        CERT_CHAIN_POLICY_PARA policyPara{};
        policyPara.cbSize = sizeof policyPara;
        policyPara.pvExtraPolicyPara = &sslPara;
        CERT_CHAIN_POLICY_STATUS policyStatus{};
        policyStatus.cbSize = sizeof policyStatus;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policyPara,
                                              &policyStatus)) {
            error = "cannot check the certificate chain " + HexCode(GetLastError());
            return kTlsUntrusted;
        }
        if (policyStatus.dwError != 0) {
            const long code = static_cast<long>(policyStatus.dwError);
            error = "certificate refused " + HexCode(code) +
                    (code == CERT_E_CN_NO_MATCH     ? " (name mismatch)"
                     : code == CERT_E_UNTRUSTEDROOT ? " (untrusted root)"
                     : code == CERT_E_EXPIRED       ? " (expired)"
                                                    : "");
            return kTlsUntrusted;
        }
        // The policy check knows host names; an address must be one of the
        // certificate's IP entries.
        if (isAddress && !CertificateNamesAddress(cert.get(), address)) {
            error = "certificate refused: " + options.HostName + " is not among its addresses";
            return kTlsUntrusted;
        }
        return kTlsOk;
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
    u_long nonBlocking = 1;
    if (socket < 0 || ioctlsocket(ToSocket(socket), FIONBIO, &nonBlocking) != 0) {
        error_ = "no usable socket";
        return kTlsFailed;
    }
    if (options.Verify && options.HostName.empty()) {
        error_ = "no host name to check the certificate against";
        return kTlsFailed;
    }
    uint32_t address = 0;
    // RFC 6066 3: the server name indication carries host names only.
    s.target = ParseIPv4Literal(options.HostName, address) ? std::string() : options.HostName;

    SCHANNEL_CRED credentials{};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    // The certificate is checked here (VerifyPeer), where a private
    // authority can be given; Schannel only supplies it. The protocol
    // versions are the system's defaults.
    credentials.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION;
    TimeStamp expiry{};
    const SECURITY_STATUS acquired =
        AcquireCredentialsHandleA(nullptr, const_cast<LPSTR>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                  nullptr, &credentials, nullptr, nullptr, &s.cred, &expiry);
    if (acquired != SEC_E_OK) {
        error_ = SspiText("AcquireCredentialsHandle", acquired);
        return kTlsFailed;
    }
    s.haveCred = true;

    int rc = s.Negotiate(true, deadline, error_);
    if (rc == kTlsOk && options.Verify) rc = s.VerifyPeer(options, error_);
    if (rc == kTlsOk) {
        const SECURITY_STATUS sized =
            QueryContextAttributesA(&s.ctx, SECPKG_ATTR_STREAM_SIZES, &s.sizes);
        if (sized != SEC_E_OK) {
            error_ = SspiText("QueryContextAttributes", sized);
            rc = kTlsFailed;
        }
    }
    if (rc != kTlsOk) {
        s.Release();
        return rc;
    }
    s.established = true;
    return kTlsOk;
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
    while (s.plain.empty()) {
        if (!s.incoming.empty()) {
            SecBuffer b[4] = {
                {static_cast<unsigned long>(s.incoming.size()), SECBUFFER_DATA, s.incoming.data()},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
            const SECURITY_STATUS status = DecryptMessage(&s.ctx, &desc, 0, nullptr);
            if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE ||
                status == SEC_I_CONTEXT_EXPIRED) {
                // The buffers point into `incoming`: copy out before it moves.
                std::vector<char> extra;
                for (SecBuffer& one : b) {
                    if (one.BufferType == SECBUFFER_DATA && one.cbBuffer > 0)
                        s.plain.append(static_cast<const char*>(one.pvBuffer), one.cbBuffer);
                    if (one.BufferType == SECBUFFER_EXTRA && one.cbBuffer > 0)
                        extra.assign(static_cast<const char*>(one.pvBuffer),
                                     static_cast<const char*>(one.pvBuffer) + one.cbBuffer);
                }
                s.incoming.swap(extra);
                if (status == SEC_I_CONTEXT_EXPIRED && s.plain.empty()) {
                    error_ = "connection closed by the peer";
                    return -kTlsClosed;
                }
                if (status == SEC_I_RENEGOTIATE) {
                    // TLS 1.3 post-handshake messages come this way too.
                    const int rc = s.Negotiate(false, deadline, error_);
                    if (rc != kTlsOk) return -rc;
                }
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                error_ = SspiText("DecryptMessage", status);
                return -kTlsFailed;
            }
        }
        const int rc = s.ReceiveRaw(deadline, error_);
        if (rc != kTlsOk) return -rc;
    }
    const std::size_t n = size < s.plain.size() ? size : s.plain.size();
    std::memcpy(buffer, s.plain.data(), n);
    s.plain.erase(0, n);
    return static_cast<long>(n);
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
    std::vector<char> record;
    while (size > 0) {
        const std::size_t chunk = size < s.sizes.cbMaximumMessage ? size : s.sizes.cbMaximumMessage;
        record.assign(s.sizes.cbHeader + chunk + s.sizes.cbTrailer, 0);
        std::memcpy(record.data() + s.sizes.cbHeader, data, chunk);
        SecBuffer b[4] = {
            {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record.data() + s.sizes.cbHeader},
            {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + s.sizes.cbHeader + chunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        const SECURITY_STATUS status = EncryptMessage(&s.ctx, 0, &desc, 0);
        if (status != SEC_E_OK) {
            error_ = SspiText("EncryptMessage", status);
            return kTlsFailed;
        }
        const int rc = s.SendRaw(record.data(), b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer,
                                 deadline, error_);
        if (rc != kTlsOk) return rc;
        data += chunk;
        size -= chunk;
    }
    return kTlsOk;
}

void TlsSession::Close() {
    Impl& s = *impl_;
    if (s.established) {
        // One try at the closing alert, without waiting for the socket.
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer in[1] = {{sizeof type, SECBUFFER_TOKEN, &type}};
        SecBufferDesc inDesc{SECBUFFER_VERSION, 1, in};
        if (ApplyControlToken(&s.ctx, &inDesc) == SEC_E_OK) {
            SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, out};
            ULONG attributes = 0;
            char* name = s.target.empty() ? nullptr : &s.target[0];
            InitializeSecurityContextA(&s.cred, &s.ctx, name,
                                       ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                           ISC_REQ_STREAM,
                                       0, 0, nullptr, 0, nullptr, &outDesc, &attributes, nullptr);
            if (out[0].pvBuffer != nullptr) {
                if (out[0].cbBuffer > 0)
                    send(ToSocket(s.fd), static_cast<const char*>(out[0].pvBuffer),
                         static_cast<int>(out[0].cbBuffer), 0);
                FreeContextBuffer(out[0].pvBuffer);
            }
        }
    }
    s.Release();
    s.fd = -1;
}

}  // namespace quorvel::platform
