#include "platform/TlsServer.h"

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>
// clang-format on

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32/Certificates.h"

namespace quorvel::platform {

namespace {

SOCKET ToSocket(int handle) {
    return static_cast<SOCKET>(static_cast<unsigned int>(handle));
}

std::string StatusText(const char* step, SECURITY_STATUS status) {
    return SspiFailure(step, status,
                       {{SEC_E_ILLEGAL_MESSAGE, " (alert from the peer or a malformed message)"},
                        {SEC_E_ALGORITHM_MISMATCH, " (no common cipher)"},
                        // Also Wine's answer: its Schannel has no server side.
                        {SEC_E_UNSUPPORTED_FUNCTION, " (unsupported protocol or function)"},
                        {SEC_E_NO_CREDENTIALS, " (the server's certificate or key is not usable)"}});
}

// A minimal DER reader: the tag and contents of the element at p.
bool ReadElement(const BYTE*& p, const BYTE* end, BYTE& tag, const BYTE*& content,
                 std::size_t& length) {
    if (end - p < 2) return false;
    tag = *p++;
    std::size_t n = *p++;
    if (n & 0x80) {
        const int bytes = static_cast<int>(n & 0x7F);
        if (bytes == 0 || bytes > 4 || end - p < bytes) return false;
        n = 0;
        for (int i = 0; i < bytes; ++i) n = (n << 8) | *p++;
    }
    if (static_cast<std::size_t>(end - p) < n) return false;
    content = p;
    length = n;
    p += n;
    return true;
}

// RFC 5208: PrivateKeyInfo ::= SEQUENCE { version, AlgorithmIdentifier,
// OCTET STRING privateKey }; for rsaEncryption the octets are the PKCS #1
// RSAPrivateKey that CryptoAPI decodes.
bool UnwrapPkcs8Rsa(const std::vector<BYTE>& der, std::vector<BYTE>& rsa) {
    static const BYTE kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const BYTE* p = der.data();
    const BYTE* end = p + der.size();
    BYTE tag = 0;
    const BYTE* body = nullptr;
    std::size_t length = 0;
    if (!ReadElement(p, end, tag, body, length) || tag != 0x30) return false;
    p = body;
    end = body + length;
    const BYTE* version = nullptr;
    if (!ReadElement(p, end, tag, version, length) || tag != 0x02) return false;
    const BYTE* algorithm = nullptr;
    if (!ReadElement(p, end, tag, algorithm, length) || tag != 0x30) return false;
    const BYTE* a = algorithm;
    const BYTE* oid = nullptr;
    std::size_t oidLength = 0;
    if (!ReadElement(a, algorithm + length, tag, oid, oidLength) || tag != 0x06 ||
        oidLength != sizeof kRsaEncryption || std::memcmp(oid, kRsaEncryption, oidLength) != 0)
        return false;
    const BYTE* key = nullptr;
    if (!ReadElement(p, end, tag, key, length) || tag != 0x04) return false;
    rsa.assign(key, key + length);
    return true;
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

class SchannelContext final : public TlsServerContext {
public:
    ~SchannelContext() override {
        if (haveCred_) FreeCredentialsHandle(&cred_);
        certificate_.reset();
        if (provider_ != 0) CryptReleaseContext(provider_, 0);
        if (!container_.empty()) {
            // The imported key lives in the account's key store only while
            // this server runs.
            HCRYPTPROV gone = 0;
            CryptAcquireContextA(&gone, container_.c_str(), MS_ENH_RSA_AES_PROV_A, PROV_RSA_AES,
                                 CRYPT_DELETEKEYSET);
        }
    }

    bool Load(const std::string& certFile, const std::string& keyFile,
              const std::string& clientCaFile, std::string& error) {
        std::string pem;
        if (!ReadWholeFile(certFile, pem, error)) return false;
        for (const PemBlock& block : PemBlocks(pem)) {
            if (block.label != "CERTIFICATE") continue;
            certificate_.reset(CertCreateCertificateContext(
                X509_ASN_ENCODING, block.der.data(), static_cast<DWORD>(block.der.size())));
            break;
        }
        if (!certificate_) {
            error = "no certificate in " + certFile;
            return false;
        }
        if (!ImportKey(keyFile, certFile, error)) return false;
        if (!clientCaFile.empty()) {
            authorities_ = LoadPemFile(clientCaFile, error);
            if (!authorities_) {
                error = "cannot load the client authorities " + clientCaFile + ": " + error;
                return false;
            }
            clientCaFile_ = clientCaFile;
        }

        PCCERT_CONTEXT certs[1] = {certificate_.get()};
        SCHANNEL_CRED credentials{};
        credentials.dwVersion = SCHANNEL_CRED_VERSION;
        credentials.cCreds = 1;
        credentials.paCred = certs;
        // Authorities whose names go into the certificate request.
        credentials.hRootStore = authorities_ ? static_cast<HCERTSTORE>(authorities_.get()) : nullptr;
        // RFC 8996: nothing older than TLS 1.2. The system's TLS 1.3 needs
        // the newer credential structure of Windows 11 and Server 2022.
        credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_SERVER;
        // A client certificate authorizes by its chain, checked here, not by
        // a mapping to a Windows account.
        credentials.dwFlags = SCH_CRED_NO_SYSTEM_MAPPER;
        TimeStamp expiry{};
        const SECURITY_STATUS acquired =
            AcquireCredentialsHandleA(nullptr, const_cast<LPSTR>(UNISP_NAME_A), SECPKG_CRED_INBOUND,
                                      nullptr, &credentials, nullptr, nullptr, &cred_, &expiry);
        if (acquired != SEC_E_OK) {
            error = StatusText(("AcquireCredentialsHandle for " + certFile).c_str(), acquired);
            return false;
        }
        haveCred_ = true;
        return true;
    }

    CredHandle* Credentials() const { return const_cast<CredHandle*>(&cred_); }
    HCERTSTORE Authorities() const { return authorities_.get(); }
    const std::string& ClientCaFile() const { return clientCaFile_; }

private:
    // Schannel takes the key from a CryptoAPI container named in the
    // certificate's properties; a PEM key gets a container of its own.
    bool ImportKey(const std::string& keyFile, const std::string& certFile, std::string& error) {
        std::string pem;
        if (!ReadWholeFile(keyFile, pem, error)) return false;
        std::vector<BYTE> rsa;
        for (const PemBlock& block : PemBlocks(pem)) {
            if (block.label == "RSA PRIVATE KEY") rsa = block.der;
            if (block.label == "PRIVATE KEY" && !UnwrapPkcs8Rsa(block.der, rsa)) {
                error = "cannot load the private key " + keyFile +
                        ": on Windows the key must be an RSA key";
                return false;
            }
            if (block.label == "ENCRYPTED PRIVATE KEY") {
                error = "cannot load the private key " + keyFile + ": it is encrypted";
                return false;
            }
            if (!rsa.empty()) break;
        }
        if (rsa.empty()) {
            error = "cannot load the private key " + keyFile +
                    ": no unencrypted RSA key (PEM) in it";
            return false;
        }
        BYTE* blob = nullptr;
        DWORD blobSize = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, rsa.data(),
                                 static_cast<DWORD>(rsa.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                 &blob, &blobSize)) {
            error = "cannot load the private key " + keyFile + ": error " + HexCode(GetLastError());
            return false;
        }
        static std::atomic<unsigned> serial{0};
        container_ = "quorvel-tls-" + std::to_string(GetCurrentProcessId()) + "-" +
                     std::to_string(++serial);
        HCRYPTKEY key = 0;
        const bool imported =
            (CryptAcquireContextA(&provider_, container_.c_str(), MS_ENH_RSA_AES_PROV_A,
                                  PROV_RSA_AES, CRYPT_NEWKEYSET | CRYPT_SILENT) ||
             (GetLastError() == static_cast<DWORD>(NTE_EXISTS) &&
              CryptAcquireContextA(&provider_, container_.c_str(), MS_ENH_RSA_AES_PROV_A,
                                   PROV_RSA_AES, CRYPT_SILENT))) &&
            CryptImportKey(provider_, blob, blobSize, 0, CRYPT_EXPORTABLE, &key);
        const DWORD code = GetLastError();
        LocalFree(blob);
        if (!imported) {
            error = "cannot import the private key " + keyFile + ": error " + HexCode(code);
            return false;
        }
        CryptDestroyKey(key);

        // The key must be the certificate's: compare the public halves.
        DWORD infoSize = 0;
        CryptExportPublicKeyInfo(provider_, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &infoSize);
        std::vector<BYTE> info(infoSize);
        auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
        if (infoSize == 0 ||
            !CryptExportPublicKeyInfo(provider_, AT_KEYEXCHANGE, X509_ASN_ENCODING, publicKey,
                                      &infoSize) ||
            !CertComparePublicKeyInfo(X509_ASN_ENCODING, publicKey,
                                      &certificate_->pCertInfo->SubjectPublicKeyInfo)) {
            error = "the private key " + keyFile + " does not belong to the certificate " + certFile;
            return false;
        }

        std::wstring container = Wide(container_);
        std::wstring providerName = Wide(MS_ENH_RSA_AES_PROV_A);
        CRYPT_KEY_PROV_INFO where{};
        where.pwszContainerName = &container[0];
        where.pwszProvName = &providerName[0];
        where.dwProvType = PROV_RSA_AES;
        where.dwKeySpec = AT_KEYEXCHANGE;
        if (!CertSetCertificateContextProperty(certificate_.get(), CERT_KEY_PROV_INFO_PROP_ID, 0,
                                               &where)) {
            error = "cannot attach the private key " + keyFile + ": error " + HexCode(GetLastError());
            return false;
        }
        return true;
    }

    Certificate certificate_;
    HCRYPTPROV provider_ = 0;
    std::string container_;
    Store authorities_;
    std::string clientCaFile_;
    CredHandle cred_{};
    bool haveCred_ = false;
};

class SchannelSession final : public TlsServerSession {
public:
    SchannelSession(const SchannelContext& context, int socket)
        : context_(context), socket_(ToSocket(socket)) {}

    ~SchannelSession() override {
        if (haveCtx_) DeleteSecurityContext(&ctx_);
    }

    TlsStep Handshake() override {
        if (failed_) return TlsStep::Failed;
        if (!Flush()) return failed_ ? TlsStep::Failed : TlsStep::WantWrite;
        if (established_) return TlsStep::Ok;
        for (;;) {
            if (incoming_.empty() || incomplete_) {
                const TlsStep got = Receive();
                if (got == TlsStep::Closed) return Fail("connection closed during the handshake");
                if (got != TlsStep::Ok) return got;
            }
            DWORD wanted = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT |
                           ASC_REQ_CONFIDENTIALITY | ASC_REQ_STREAM | ASC_REQ_ALLOCATE_MEMORY |
                           ASC_REQ_EXTENDED_ERROR;
            if (context_.Authorities() != nullptr) wanted |= ASC_REQ_MUTUAL_AUTH;
            HandshakeBuffers buffers(incoming_);
            ULONG attributes = 0;
            TimeStamp expiry{};
            const SECURITY_STATUS status = AcceptSecurityContext(
                context_.Credentials(), haveCtx_ ? &ctx_ : nullptr, buffers.Input(), wanted, 0,
                haveCtx_ ? nullptr : &ctx_, buffers.Output(), &attributes, &expiry);
            if (!haveCtx_ && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED))
                haveCtx_ = true;
            // Alerts come as tokens too: they go out even when the call failed.
            if (buffers.Token() != nullptr) outgoing_.append(buffers.Token(), buffers.TokenSize());
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                incomplete_ = true;
                continue;
            }
            buffers.KeepUnread(incoming_);
            incomplete_ = false;
            if (status == SEC_I_CONTINUE_NEEDED) {
                if (!Flush()) return failed_ ? TlsStep::Failed : TlsStep::WantWrite;
                continue;
            }
            if (status != SEC_E_OK) {
                Flush();
                return Fail(StatusText("handshake", status));
            }
            const std::string refused = CheckSession();
            if (!refused.empty()) return Fail(refused);
            established_ = true;
            if (!Flush()) return failed_ ? TlsStep::Failed : TlsStep::WantWrite;
            return TlsStep::Ok;
        }
    }

    TlsStep Read(char* buffer, std::size_t size, std::size_t* got) override {
        *got = 0;
        if (failed_) return TlsStep::Failed;
        if (!established_) return Fail("no TLS session");
        while (plain_.empty()) {
            if (!incoming_.empty() && !incomplete_) {
                const TlsStep step = Decrypt();
                if (step != TlsStep::Ok) return step;
                continue;
            }
            const TlsStep step = Receive();
            if (step != TlsStep::Ok) return step;
        }
        const std::size_t n = size < plain_.size() - plainAt_ ? size : plain_.size() - plainAt_;
        std::memcpy(buffer, plain_.data() + plainAt_, n);
        plainAt_ += n;
        if (plainAt_ == plain_.size()) {
            plain_.clear();
            plainAt_ = 0;
        }
        *got = n;
        return TlsStep::Ok;
    }

    bool Pending() const override { return !plain_.empty() || (!incoming_.empty() && !incomplete_); }

    std::string FailureReason() const override { return reason_; }

private:
    TlsStep Fail(std::string reason) {
        failed_ = true;
        reason_ = std::move(reason);
        return TlsStep::Failed;
    }

    // The version floor, and the client's certificate when one is required.
    // Empty when the session may go on, otherwise the reason it may not.
    std::string CheckSession() {
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesA(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
            return "cannot read the session's protocol";
        if ((info.dwProtocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3)) == 0) return "unsupported protocol";
        const SECURITY_STATUS sized = QueryContextAttributesA(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (sized != SEC_E_OK) return StatusText("QueryContextAttributes", sized);
        if (context_.Authorities() == nullptr) return {};

        PCCERT_CONTEXT raw = nullptr;
        if (QueryContextAttributesA(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &raw) != SEC_E_OK ||
            raw == nullptr)
            return "no client certificate";
        const Certificate cert(raw);
        bool storeFailed = false;
        DWORD code = 0;
        const Chain chain = BuildChain(cert.get(), context_.Authorities(), szOID_PKIX_KP_CLIENT_AUTH, storeFailed, code);
        if (storeFailed) return "cannot open a certificate store";
        if (!chain) return "certificate verify failed: no chain " + HexCode(code);
        // The private root is no system root; revocation is not looked up.
        const DWORD faults = chain->TrustStatus.dwErrorStatus &
                             ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT |
                                                 CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                                 CERT_TRUST_IS_OFFLINE_REVOCATION);
        if (faults != 0)
            return "certificate verify failed: chain status " + HexCode(faults) +
                   ((faults & CERT_TRUST_IS_PARTIAL_CHAIN) != 0   ? " (issuer unknown)"
                    : (faults & CERT_TRUST_IS_NOT_TIME_VALID) != 0 ? " (expired or not yet valid)"
                    : (faults & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0 ? " (not for client use)"
                                                                       : "");
        if (!EndsInAuthority(chain.get(), context_.Authorities()))
            return "certificate verify failed: not issued by an authority of " + context_.ClientCaFile();
        return {};
    }

    // Sends what the handshake left to send; false while some is left.
    bool Flush() {
        while (!outgoing_.empty()) {
            const int n = send(socket_, outgoing_.data(), static_cast<int>(outgoing_.size()), 0);
            if (n > 0) {
                outgoing_.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            const int code = WSAGetLastError();
            if (code != WSAEWOULDBLOCK) {
                outgoing_.clear();
                Fail("socket error " + std::to_string(code));
            }
            return false;
        }
        return true;
    }

    // What the socket has now, appended to incoming_.
    TlsStep Receive() {
        char chunk[16384 + 512];
        const int n = recv(socket_, chunk, sizeof chunk, 0);
        if (n > 0) {
            incoming_.insert(incoming_.end(), chunk, chunk + n);
            incomplete_ = false;
            return TlsStep::Ok;
        }
        if (n == 0) return TlsStep::Closed;
        const int code = WSAGetLastError();
        if (code == WSAEWOULDBLOCK) return TlsStep::WantRead;
        if (code == WSAECONNRESET || code == WSAESHUTDOWN) return TlsStep::Closed;
        return Fail("socket error " + std::to_string(code));
    }

    TlsStep Decrypt() {
        SecBuffer b[4] = {
            {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
        const SECURITY_STATUS status = DecryptMessage(&ctx_, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            incomplete_ = true;
            return TlsStep::Ok;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE)
            return Fail(StatusText("DecryptMessage", status));
        // The buffers point into incoming_: copy out before it moves.
        std::vector<char> extra;
        for (const SecBuffer& one : b) {
            if (one.BufferType == SECBUFFER_DATA && one.cbBuffer > 0)
                plain_.append(static_cast<const char*>(one.pvBuffer), one.cbBuffer);
            if (one.BufferType == SECBUFFER_EXTRA && one.cbBuffer > 0)
                extra.assign(static_cast<const char*>(one.pvBuffer),
                             static_cast<const char*>(one.pvBuffer) + one.cbBuffer);
        }
        incoming_.swap(extra);
        if (status == SEC_I_CONTEXT_EXPIRED) return plain_.empty() ? TlsStep::Closed : TlsStep::Ok;
        // A client asking for a new handshake gets none: the server only
        // reads, and renegotiation is the costly half of a handshake for it.
        if (status == SEC_I_RENEGOTIATE) return Fail("renegotiation refused");
        return TlsStep::Ok;
    }

    const SchannelContext& context_;
    SOCKET socket_;
    CtxtHandle ctx_{};
    bool haveCtx_ = false;
    bool established_ = false;
    bool failed_ = false;
    bool incomplete_ = false;  // incoming_ holds part of a record only
    SecPkgContext_StreamSizes sizes_{};
    std::vector<char> incoming_;  // received, not yet decrypted
    std::string outgoing_;        // handshake bytes not yet sent
    std::string plain_;           // decrypted, not yet handed out
    std::size_t plainAt_ = 0;
    std::string reason_;
};

}  // namespace

std::unique_ptr<TlsServerContext> TlsServerContext::Create(const TlsServerFiles& files, std::string* error) {
    auto context = std::make_unique<SchannelContext>();
    if (!context->Load(files.Certificate, files.Key, files.ClientAuthorities, *error)) return nullptr;
    return context;
}

std::unique_ptr<TlsServerSession> TlsServerSession::Create(const TlsServerContext& context,
                                                           int socket) {
    return std::make_unique<SchannelSession>(static_cast<const SchannelContext&>(context), socket);
}

}  // namespace quorvel::platform
