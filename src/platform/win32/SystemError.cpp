#include "platform/SystemError.h"

#include <windows.h>

namespace quorvel::platform {

int LastErrorCode() { return static_cast<int>(GetLastError()); }

std::string ErrorText(int code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = length > 0 && text ? std::string(text, length) : std::string();
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

}  // namespace quorvel::platform
