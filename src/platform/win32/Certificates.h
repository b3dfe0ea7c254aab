#pragma once
// PEM files into CryptoAPI objects, for the Schannel client (alert mail) and
// server (syslog over TLS), the RAII owners of what CryptoAPI and Schannel
// hand out, and the wording both sides give a failed Schannel step.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
// clang-format on

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace quorvel::platform {

struct StoreClose {
    void operator()(HCERTSTORE s) const { CertCloseStore(s, 0); }
};
using Store = std::unique_ptr<void, StoreClose>;

struct CertFree {
    void operator()(PCCERT_CONTEXT c) const { CertFreeCertificateContext(c); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertFree>;

struct ChainFree {
    void operator()(PCCERT_CHAIN_CONTEXT c) const { CertFreeCertificateChain(c); }
};
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

// The chain of a peer's certificate for a usage (an szOID_PKIX_KP_* name),
// built with the certificates the peer sent and the private authorities
// (may be null). Empty when it cannot be built: storeFailed then says
// whether the step that failed was opening the store, and code holds
// GetLastError's value.
Chain BuildChain(PCCERT_CONTEXT cert, HCERTSTORE authorities, const char* usage, bool& storeFailed,
                 DWORD& code);

// The chain request for one extended key usage (szOID_PKIX_KP_SERVER_AUTH
// or ..._CLIENT_AUTH); usage must outlive the request.
inline CERT_CHAIN_PARA ChainRequest(LPSTR* usage) {
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    return para;
}

// The whole file; false with error set when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error);

// The DER bytes of each "-----BEGIN <label>-----" block of a PEM text, in
// order, with the label of each.
struct PemBlock {
    std::string label;
    std::vector<BYTE> der;
};
std::vector<PemBlock> PemBlocks(const std::string& pem);

// Every certificate of a PEM file, in a memory store; null when the file
// cannot be read or holds none.
Store LoadPemFile(const std::string& path, std::string& error);

// Whether the chain ends in a certificate of the store: only the given
// authorities count, whether or not the system trusts them too.
bool EndsInAuthority(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE authorities);

// "0x" and eight hex digits, as Windows tools show a code.
std::string HexCode(unsigned long code);

// "<step> failed 0x...", followed by the name the caller gives that status.
struct StatusName {
    long status;
    const char* name;
};
std::string SspiFailure(const char* step, long status, std::initializer_list<StatusName> names);

// The buffers of one handshake call on either side: in, the bytes received
// so far as a token and an empty buffer in which Schannel names the bytes it
// left unread; out, one token Schannel allocates for us to send (alerts
// too), freed with this object.
class HandshakeBuffers {
public:
    explicit HandshakeBuffers(std::vector<char>& incoming)
        : in_{{static_cast<unsigned long>(incoming.size()), SECBUFFER_TOKEN, incoming.data()},
              {0, SECBUFFER_EMPTY, nullptr}} {}
    ~HandshakeBuffers() {
        if (out_[0].pvBuffer != nullptr) FreeContextBuffer(out_[0].pvBuffer);
    }
    HandshakeBuffers(const HandshakeBuffers&) = delete;
    HandshakeBuffers& operator=(const HandshakeBuffers&) = delete;

    SecBufferDesc* Input() { return &inDesc_; }
    SecBufferDesc* Output() { return &outDesc_; }
    // Null when the call gave no token.
    const char* Token() const { return static_cast<const char*>(out_[0].pvBuffer); }
    unsigned long TokenSize() const { return out_[0].pvBuffer != nullptr ? out_[0].cbBuffer : 0; }
    // Drops from `incoming` what the call consumed: all but the extra bytes
    // at its end.
    void KeepUnread(std::vector<char>& incoming) const {
        if (in_[1].BufferType == SECBUFFER_EXTRA && in_[1].cbBuffer > 0)
            incoming.erase(incoming.begin(), incoming.end() - in_[1].cbBuffer);
        else
            incoming.clear();
    }

private:
    SecBuffer in_[2];
    SecBufferDesc inDesc_{SECBUFFER_VERSION, 2, in_};
    SecBuffer out_[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc_{SECBUFFER_VERSION, 1, out_};
};

}  // namespace quorvel::platform
