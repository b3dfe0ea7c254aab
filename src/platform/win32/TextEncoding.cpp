#include "platform/TextEncoding.h"

#include <windows.h>

namespace quorvel::platform {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";
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

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
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
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

}  // namespace quorvel::platform
