#pragma once
// PEM files into CryptoAPI objects, for the Schannel client (alert mail) and
// server (syslog over TLS), and the RAII owners of what CryptoAPI hands out.

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
// clang-format on

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

}  // namespace quorvel::platform
