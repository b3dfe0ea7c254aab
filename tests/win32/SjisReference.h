#pragma once
// Independent Shift_JIS reference for tests of the Windows build: the
// system's own code page tables (932 for Shift_JIS, 20932 for the JIS X 0208
// rows of ISO-2022-JP), never the system's own conversion code. Same names and
// behaviour as the iconv reference of the POSIX build.

#include <windows.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvel::test {

namespace detail {

inline std::wstring ToWide(std::string_view in, UINT codePage) {
    if (in.empty()) return {};
    const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                                      nullptr, 0);
    if (n <= 0) throw std::runtime_error("MultiByteToWideChar failed");
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out.data(), n);
    return out;
}

inline std::string FromWide(std::wstring_view in, UINT codePage) {
    if (in.empty()) return {};
    // UTF-8 takes no default character; every other page must map exactly.
    const bool utf8 = codePage == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    const int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr,
                                      utf8 ? nullptr : &usedDefault);
    if (n <= 0 || usedDefault) throw std::runtime_error("WideCharToMultiByte failed");
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr,
                        utf8 ? nullptr : &usedDefault);
    if (usedDefault) throw std::runtime_error("WideCharToMultiByte failed");
    return out;
}

// EUC-JP (code page 20932) <-> ISO-2022-JP (RFC 1468): the two-byte rows are
// JIS X 0208 with the high bits set, so only the escape sequences differ.
// Wine has no code page 50220, hence this route instead.
inline std::string EucToIso2022(std::string_view euc) {
    std::string out;
    bool kanji = false;
    for (size_t i = 0; i < euc.size(); ++i) {
        const auto c = static_cast<unsigned char>(euc[i]);
        if (c < 0x80) {
            if (kanji) out += "\x1B(B";
            kanji = false;
            out += static_cast<char>(c);
        } else if (c >= 0xA1 && c <= 0xFE && i + 1 < euc.size()) {
            if (!kanji) out += "\x1B$B";
            kanji = true;
            out += static_cast<char>(c - 0x80);
            out += static_cast<char>(static_cast<unsigned char>(euc[++i]) - 0x80);
        } else {
            // Half-width katakana (0x8E) and JIS X 0212 (0x8F) have no place
            // in ISO-2022-JP.
            throw std::runtime_error("not representable in ISO-2022-JP");
        }
    }
    if (kanji) out += "\x1B(B";
    return out;
}

inline std::string Iso2022ToEuc(std::string_view jis) {
    std::string out;
    bool kanji = false;
    for (size_t i = 0; i < jis.size(); ++i) {
        if (jis[i] == '\x1B') {
            const std::string_view seq = jis.substr(i + 1, 2);
            if (seq == "$B" || seq == "$@") {
                kanji = true;
            } else if (seq == "(B" || seq == "(J") {
                kanji = false;
            } else {
                throw std::runtime_error("unknown ISO-2022-JP escape");
            }
            i += 2;
        } else if (kanji) {
            if (i + 1 >= jis.size()) throw std::runtime_error("cut ISO-2022-JP pair");
            out += static_cast<char>(static_cast<unsigned char>(jis[i]) | 0x80);
            out += static_cast<char>(static_cast<unsigned char>(jis[++i]) | 0x80);
        } else {
            out += jis[i];
        }
    }
    return out;
}

inline UINT CodePageOf(std::string_view name) {
    if (name == "UTF-8") return CP_UTF8;
    if (name == "CP932" || name == "SHIFT_JIS") return 932;
    if (name == "EUC-JP") return 20932;
    throw std::runtime_error("unknown code page name");
}

}  // namespace detail

inline std::string IconvConvert(std::string_view in, const char* from, const char* to) {
    const std::string_view src(from), dst(to);
    std::wstring wide;
    if (src == "ISO-2022-JP") {
        wide = detail::ToWide(detail::Iso2022ToEuc(in), 20932);
    } else {
        wide = detail::ToWide(in, detail::CodePageOf(src));
    }
    if (dst == "ISO-2022-JP") return detail::EucToIso2022(detail::FromWide(wide, 20932));
    return detail::FromWide(wide, detail::CodePageOf(dst));
}

// UTF-8 source text -> the Shift_JIS bytes the system must write.
inline std::string Sjis(std::string_view utf8) { return IconvConvert(utf8, "UTF-8", "CP932"); }
// Shift_JIS bytes -> UTF-8, for readable assertions.
inline std::string Utf8(std::string_view sjis) { return IconvConvert(sjis, "CP932", "UTF-8"); }

}  // namespace quorvel::test
