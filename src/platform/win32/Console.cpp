#include "platform/win32/Console.h"

#include <windows.h>

#include "platform/Console.h"
#include "platform/TextEncoding.h"

namespace quorvel::platform {

namespace {

void WriteBytes(DWORD which, const std::string& text) {
    HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;  // a service has none
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(out, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

}  // namespace

void WriteOutput(const std::string& text) { WriteBytes(STD_OUTPUT_HANDLE, text); }

void WriteErrorOutput(const std::string& text) { WriteBytes(STD_ERROR_HANDLE, text); }

}  // namespace quorvel::platform

namespace quorvel::platform::win32 {

void WriteError(const std::string& sjis) {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;  // a service has none
    const std::string utf8 = SjisToUtf8(sjis);
    DWORD mode = 0;
    if (GetConsoleMode(err, &mode)) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        if (n <= 0) return;
        std::wstring wide(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
        DWORD written = 0;
        WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    WriteBytes(STD_ERROR_HANDLE, utf8);
}

}  // namespace quorvel::platform::win32
