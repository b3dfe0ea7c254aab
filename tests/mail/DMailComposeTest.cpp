#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "mail/DMail.h"

namespace quorvel {
namespace {

// The composed message, line by line.
std::vector<std::string> Lines(TSMTPMail& mail) {
    std::string text;
    mail.ComposeMessage(&text);
    std::vector<std::string> out;
    size_t start = 0, pos;
    while ((pos = text.find("\r\n", start)) != std::string::npos) {
        out.push_back(text.substr(start, pos - start));
        start = pos + 2;
    }
    EXPECT_EQ(start, text.size()) << "message does not end with CR LF";
    return out;
}

// The recipient's server removes one leading dot of every line
// (RFC 5321 4.5.2), so the wire form must carry one more.
TEST(ComposeMessage, BodyLinesAreDotStuffedAndSplitAtBareLineEnds) {
    struct Case {
        std::vector<std::string> body;
        std::vector<std::string> wire;
        std::vector<std::string> bodyAfter;
    } cases[] = {
        {{"."}, {".."}, {".."}},
        {{"..x"}, {"...x"}, {"..x"}},
        // A bare line end inside an entry could otherwise end the DATA
        // early and smuggle commands after it.
        {{"x\r\n.\r\nRSET"}, {"x", "..", "RSET"}, {"x\r\n.\r\nRSET"}},
        {{"a\nb\rc"}, {"a", "b", "c"}, {"a\nb\rc"}},
    };
    for (const Case& c : cases) {
        TSMTPMail mail;
        mail.SetToAddress("a@b");
        mail.SetMessageID("<id>");
        mail.SetBody(c.body);
        for (int round = 0; round < 2; ++round) {  // a second send goes out alike
            std::vector<std::string> lines = Lines(mail);
            std::vector<std::string> body(lines.begin() + 10, lines.end());
            EXPECT_EQ(body, c.wire) << "round " << round;
            EXPECT_EQ(mail.Body(), c.bodyAfter);
        }
    }
}

TEST(ComposeMessage, GeneratedMessageIdsDifferWithinOneSecond) {
    std::string first, second;
    for (std::string* id : {&first, &second}) {
        TSMTPMail mail;
        mail.SetClock([] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 0}; });  // one second for both
        mail.SetFromAddress("alert@quorvel.example");
        mail.SetToAddress("ops@example.com");
        *id = Lines(mail)[4];
        EXPECT_EQ(id->rfind("Message-ID: <", 0), 0u);
    }
    EXPECT_NE(first, second);
}

TEST(ComposeMessage, NullSenderGivesEmptyBracketsAndDomain) {
    TSMTPMail mail;
    mail.SetToAddress("ops@example.com");
    std::vector<std::string> lines = Lines(mail);
    EXPECT_EQ(lines[0], "From: <>");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("Message-ID: <[0-9a-f]{40}@>"))) << lines[4];
    TSMTPMail none;
    none.ComposeMessage(nullptr);  // nothing to write into: no crash
}

// Whatever a sender put into the message, the mail must be one that strict
// servers take: 7-bit, no line over 998 bytes, CR and LF only as pairs, no
// lone "." that would end the DATA early, and no header but its own.
TEST(ComposeMessage, HostileBodiesGiveValidMail) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
    const std::string utf8 = u8"ディスク障害あ,あ)(容量95%)";
    struct Case {
        const char* what;
        std::string entry;
        size_t wireLines;  // 0: not checked
    } const cases[] = {
        {"UTF-8 text", utf8, 1},
        {"UTF-8 comma after a broken pair", u8"あ,", 1},
        {"UTF-8 parenthesis after a broken pair", u8"あ)", 1},
        {"lone lead byte at the end", "disk full \x82", 1},
        {"32 KB of one line", std::string(32006, 'A'), 33},
        {"every byte value", allBytes + allBytes, 0},
        {"control bytes", std::string("a\0b\x1B$Bc\x0E\x0F\x7F\x01", 12), 1},
        {"dots after folding", std::string(998, 'x') + ".\r\n.\r\n", 4},
        {"header of its own", "x\r\nBcc: all@example.org\r\n\r\n.", 4},
        {"half-width katakana", "\xB6\xDE\xB2\xBD\xB8", 1},
    };
    const std::regex ownHeader("^(From|To|Date|Subject|Mime-Version|Message-ID|Content-Type|"
                               "Content-Transfer-Encoding|Priority): |^\t");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSMTPMail mail;
        mail.SetToAddress("a@b");
        mail.SetMessageID("<id>");
        mail.SetBody({c.entry});
        mail.SetSubject(c.entry);
        mail.SetFromName(c.entry);
        std::string text;
        mail.ComposeMessage(&text);
        ASSERT_EQ(text.compare(text.size() - 2, 2, "\r\n"), 0);
        size_t start = 0, pos, bodyLines = 0;
        bool inBody = false;
        while ((pos = text.find("\r\n", start)) != std::string::npos) {
            const std::string line = text.substr(start, pos - start);
            start = pos + 2;
            EXPECT_LE(line.size(), inBody && line[0] == '.' ? 999u : 998u);
            for (char b : line) ASSERT_TRUE(b > 0 && b != '\r' && b != '\n') << line;
            if (!inBody && !line.empty()) {
                EXPECT_TRUE(std::regex_search(line, ownHeader)) << line;
            }
            if (inBody) {
                ++bodyLines;
                EXPECT_NE(line, ".");
                EXPECT_EQ(line.find_first_of('\x1B') == std::string::npos ||
                              line.compare(line.rfind('\x1B'), 3, "\x1B(B") == 0,
                          true)
                    << "ends in kanji mode: " << line;
            }
            if (line.empty()) inBody = true;
        }
        if (c.wireLines != 0) {
            EXPECT_EQ(bodyLines, c.wireLines);
        }
    }
}

}  // namespace
}  // namespace quorvel
