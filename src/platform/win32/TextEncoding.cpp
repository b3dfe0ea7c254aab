#include "platform/TextEncoding.h"

#include <windows.h>

#include "platform/TextEncodingBackend.h"
#include "util/Utf8Text.h"

namespace quorvel::platform {

namespace {

constexpr UINT kCodePageShiftJis = 932;

std::string WideToUtf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                      nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// Strict conversion of one piece; false when any byte is not code page 932.
bool Convert(std::string_view sjis, std::wstring& wide) {
    wide.clear();
    if (sjis.empty()) return true;
    const int n = MultiByteToWideChar(kCodePageShiftJis, MB_ERR_INVALID_CHARS, sjis.data(),
                                      static_cast<int>(sjis.size()), nullptr, 0);
    if (n <= 0) return false;
    wide.resize(static_cast<size_t>(n));
    return MultiByteToWideChar(kCodePageShiftJis, MB_ERR_INVALID_CHARS, sjis.data(),
                               static_cast<int>(sjis.size()), wide.data(), n) == n;
}

// The code page 932 bytes of one piece; false when the code page lacks any
// of its characters. No best fit: Windows would otherwise give a look-alike
// where iconv gives nothing.
bool Encode(const wchar_t* wide, int count, std::string& out) {
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(kCodePageShiftJis, WC_NO_BEST_FIT_CHARS, wide, count, nullptr, 0, nullptr,
                                      &usedDefault);
    if (n <= 0 || usedDefault) return false;
    const size_t start = out.size();
    out.resize(start + static_cast<size_t>(n));
    return WideCharToMultiByte(kCodePageShiftJis, WC_NO_BEST_FIT_CHARS, wide, count, out.data() + start, n, nullptr,
                               nullptr) == n;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

}  // namespace

std::string EncodeCodePage932(std::string_view utf8, std::vector<size_t>& missing) {
    const std::wstring wide = Utf8ToWide(utf8);
    std::string out;
    if (Encode(wide.data(), static_cast<int>(wide.size()), out) || wide.empty()) return out;
    // Character by character from here on, a surrogate pair being one.
    out.clear();
    size_t i = 0;
    while (i < wide.size()) {
        const bool pair = wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size();
        const int count = pair ? 2 : 1;
        const size_t before = out.size();
        if (!Encode(wide.data() + i, count, out)) {
            out.resize(before);
            missing.push_back(out.size());
            out += kGetaSjis;
        }
        i += static_cast<size_t>(count);
    }
    return out;
}

std::string SjisToUtf8(std::string_view sjis, std::string_view replacement) {
    std::wstring wide;
    if (Convert(sjis, wide)) return WideToUtf8(wide);
    // Windows would put its own default character (U+30FB) in place of a bad
    // byte; keep the POSIX build's U+FFFD per byte instead, character by
    // character from here on.
    std::string out;
    size_t i = 0;
    while (i < sjis.size()) {
        const auto c = static_cast<unsigned char>(sjis[i]);
        const size_t width = IsDBCSLeadByteEx(kCodePageShiftJis, c) && i + 1 < sjis.size() ? 2 : 1;
        if (Convert(sjis.substr(i, width), wide)) {
            out += WideToUtf8(wide);
            i += width;
        } else {
            out += replacement;
            ++i;
        }
    }
    return out;
}

}  // namespace quorvel::platform
