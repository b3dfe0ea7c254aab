#pragma once
// PEM files into CryptoAPI objects, for the Schannel client (alert mail) and
// server (syslog over TLS), the RAII owners of what CryptoAPI hands out, and
// the wording both sides give a failed Schannel step.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
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

}  // namespace quorvel::platform
