#pragma once
// Independent Shift_JIS reference for tests of the Windows build: Windows'
// code page 932 table, never the system's own conversion code.

#include <windows.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvel::test {

// The text in another code page; UTF-8 and CP932 only (the ISO-2022-JP
// comparisons run against iconv in the Linux build). Throws where Windows fails.
inline std::string ReferenceConvert(std::string_view in, const char* from, const char* to) {
    const auto page = [](std::string_view name) -> UINT {
        return name == "UTF-8" ? CP_UTF8 : name == "CP932" ? 932 : throw std::runtime_error("no Windows reference");
    };
    const UINT src = page(from), dst = page(to);
    if (in.empty()) return {};
    const int n = static_cast<int>(in.size());
    std::wstring wide(in.size(), L'\0');
    std::string out(in.size() * 3, '\0');
    const int w = MultiByteToWideChar(src, MB_ERR_INVALID_CHARS, in.data(), n, wide.data(), n);
    const int m = w > 0 ? WideCharToMultiByte(dst, 0, wide.data(), w, out.data(), n * 3, nullptr, nullptr) : 0;
    if (m <= 0) throw std::runtime_error("not representable");
    out.resize(static_cast<size_t>(m));
    return out;
}

// UTF-8 source text -> the Shift_JIS bytes the system must write.
inline std::string Sjis(std::string_view utf8) { return ReferenceConvert(utf8, "UTF-8", "CP932"); }

}  // namespace quorvel::test
