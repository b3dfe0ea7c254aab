// The alert mail as it goes into DATA: whatever a received message holds, it
// cannot end the DATA section early (RFC 5321 4.5.2) nor leave a bare line end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/DMail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // Subject, then body lines, separated by NUL bytes.
    const size_t cut = input.find('\0');
    // The subject comes from one ini line, which holds no line end.
    std::string subject;
    for (char c : input.substr(0, cut)) {
        if (c != '\r' && c != '\n') subject += c;
    }
    input = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);

    TSMTPMail mail;
    mail.SetClock([] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 0}; });
    mail.SetFromAddress("alert@quorvel.example");
    mail.SetToAddress("ops@example.com");
    mail.SetSubject(subject);
    // Both charsets: the first byte's low bit picks one.
    mail.SetCharset(size > 0 && (data[0] & 1) ? MC_UTF8 : MC_ISO2022JP);
    mail.SetX_Mailer("Quorvel Service");
    mail.Body().push_back("");
    while (!input.empty()) {
        const size_t end = input.find('\0');
        mail.Body().emplace_back(input.substr(0, end));
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    }
    std::string message;
    mail.ComposeMessage(&message);
    if (message.size() < 2 || message.compare(message.size() - 2, 2, "\r\n") != 0) std::abort();
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\n' && (i == 0 || message[i - 1] != '\r')) std::abort();
        if (c == '\r' && (i + 1 >= message.size() || message[i + 1] != '\n')) std::abort();
        // 7-bit whatever the charset, and no NUL, which strict servers refuse.
        if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) std::abort();
    }
    if (message.rfind(".\r\n", 0) == 0 || message.find("\r\n.\r\n") != std::string::npos) std::abort();
    // Strict servers take it too: no line over 998 bytes (one more
    // for a stuffed dot), no header but its own, no line left in kanji mode.
    static const char* const kOwnHeaders[] = {"From: ", "To: ", "Date: ", "Subject: ", "Mime-Version: ",
                                              "Message-ID: ", "Content-Type: ", "Content-Transfer-Encoding: ",
                                              "Priority: ", "X-Mailer: ", "\t"};
    bool inBody = false;
    for (size_t at = 0, end; (end = message.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string_view line = std::string_view(message).substr(at, end - at);
        if (line.size() > (inBody && line[0] == '.' ? 999u : 998u)) std::abort();
        const size_t escape = line.rfind('\x1B');
        if (escape != std::string_view::npos && line.substr(escape, 3) != "\x1B(B") std::abort();
        bool own = inBody || line.empty();
        for (const char* header : kOwnHeaders) own = own || line.rfind(header, 0) == 0;
        if (!own) std::abort();
        inBody = inBody || line.empty();
    }
    return 0;
}
