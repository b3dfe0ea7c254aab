#include "platform/win32/Certificates.h"

#include <cstdio>

namespace quorvel::platform {

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read " + path;
        return false;
    }
    bytes.clear();
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
    std::fclose(f);
    return true;
}

std::vector<PemBlock> PemBlocks(const std::string& pem) {
    std::vector<PemBlock> blocks;
    static const char kBegin[] = "-----BEGIN ";
    static const char kDashes[] = "-----";
    for (std::size_t at = 0; (at = pem.find(kBegin, at)) != std::string::npos;) {
        const std::size_t labelAt = at + sizeof kBegin - 1;
        const std::size_t labelEnd = pem.find(kDashes, labelAt);
        if (labelEnd == std::string::npos) break;
        PemBlock block;
        block.label = pem.substr(labelAt, labelEnd - labelAt);
        const std::string endLine = "-----END " + block.label + kDashes;
        const std::size_t end = pem.find(endLine, labelEnd);
        if (end == std::string::npos) break;
        const std::string text = pem.substr(at, end + endLine.size() - at);
        at = end + endLine.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr))
            continue;
        block.der.resize(size);
        if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                                  CRYPT_STRING_BASE64HEADER, block.der.data(), &size, nullptr,
                                  nullptr))
            continue;
        block.der.resize(size);
        blocks.push_back(std::move(block));
    }
    return blocks;
}

Store LoadPemFile(const std::string& path, std::string& error) {
    std::string pem;
    if (!ReadWholeFile(path, pem, error)) return nullptr;
    Store store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!store) {
        error = "cannot open a certificate store, error " + std::to_string(GetLastError());
        return nullptr;
    }
    int count = 0;
    for (const PemBlock& block : PemBlocks(pem)) {
        if (block.label == "CERTIFICATE" &&
            CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, block.der.data(),
                                             static_cast<DWORD>(block.der.size()),
                                             CERT_STORE_ADD_ALWAYS, nullptr))
            ++count;
    }
    if (count == 0) {
        error = "no certificate in " + path;
        return nullptr;
    }
    return store;
}

Chain BuildChain(PCCERT_CONTEXT cert, HCERTSTORE authorities, const char* usage, bool& storeFailed,
                 DWORD& code) {
    Store extra(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
    storeFailed = !extra;
    if (storeFailed) {
        code = GetLastError();
        return nullptr;
    }
    CertAddStoreToCollection(extra.get(), cert->hCertStore, 0, 0);
    if (authorities != nullptr) CertAddStoreToCollection(extra.get(), authorities, 0, 0);
    LPSTR wanted = const_cast<LPSTR>(usage);
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = &wanted;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, cert, nullptr, extra.get(), &chainPara, 0, nullptr, &chain)) {
        code = GetLastError();
        return nullptr;
    }
    return Chain(chain);
}

bool EndsInAuthority(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE authorities) {
    const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
    PCCERT_CONTEXT root =
        simple != nullptr && simple->cElement > 0 ? simple->rgpElement[simple->cElement - 1]->pCertContext : nullptr;
    PCCERT_CONTEXT found = root == nullptr ? nullptr
                                           : CertFindCertificateInStore(authorities, X509_ASN_ENCODING, 0,
                                                                        CERT_FIND_EXISTING, root, nullptr);
    if (found == nullptr) return false;
    CertFreeCertificateContext(found);
    return true;
}

std::string HexCode(unsigned long code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", code);
    return text;
}

std::string SspiFailure(const char* step, long status, std::initializer_list<StatusName> names) {
    const char* name = "";
    for (const StatusName& n : names) {
        if (n.status == status) name = n.name;
    }
    return std::string(step) + " failed " + HexCode(static_cast<unsigned long>(status)) + name;
}

}  // namespace quorvel::platform
