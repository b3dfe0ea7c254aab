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

// The recipient's server removes one leading dot of every line (RFC 5321
// 4.5.2), so the wire form carries one more; a bare line end inside an entry
// could otherwise end the DATA early and smuggle commands after it.
TEST(ComposeMessage, BodyLinesAreDotStuffedAndSplitAtBareLineEnds) {
    const struct {
        std::string entry;
        std::vector<std::string> wire;
    } cases[] = {
        {"..x", {"...x"}},
        {"x\r\n.\r\nRSET", {"x", "..", "RSET"}},
        {"a\nb\rc", {"a", "b", "c"}},
        {std::string(998, 'x') + ".\r\n.", {std::string(998, 'x'), "..", ".."}},
    };
    for (const auto& c : cases) {
        TSMTPMail mail;
        mail.SetMessageID("<id>");
        mail.SetBody({c.entry});
        for (int round = 0; round < 2; ++round) {  // a second send goes out alike
            const std::vector<std::string> lines = Lines(mail);
            EXPECT_EQ(std::vector<std::string>(lines.begin() + 10, lines.end()), c.wire) << round;
            EXPECT_EQ(mail.Body(), std::vector<std::string>{c.entry});
        }
    }
}

TEST(ComposeMessage, GeneratedMessageIdsDifferWithinOneSecond) {
    std::string ids[2];
    for (std::string& id : ids) {
        TSMTPMail mail;
        mail.SetClock([] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 0}; });
        mail.SetFromAddress("alert@quorvel.example");
        mail.SetToAddress("ops@example.com");
        id = Lines(mail)[4];
        EXPECT_TRUE(std::regex_match(id, std::regex("Message-ID: <[0-9a-f]{40}@quorvel.example>"))) << id;
    }
    EXPECT_NE(ids[0], ids[1]);
    TSMTPMail nullSender;
    EXPECT_EQ(Lines(nullSender)[0], "From: <>");
    EXPECT_TRUE(std::regex_match(Lines(nullSender)[4], std::regex("Message-ID: <[0-9a-f]{40}@>")));
    nullSender.ComposeMessage(nullptr);  // nothing to write into: no crash
}

// Whatever a sender put into the subject and the body, the mail must be one
// that strict servers take: 7-bit, no line over 998 bytes, CR and LF only as
// pairs, no lone "." that ends the DATA early, no header but its own, and no
// line left in kanji mode. The received bytes themselves go through the
// server end to end; control bytes and headers of its own only here.
TEST(ComposeMessage, HostileTextsGiveValidMail) {
    std::string allBytes;
    for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
    const std::string cases[] = {
        allBytes + allBytes,
        std::string("a\0b\x1B$Bc\x0E\x0F\x7F\x01", 12),
        "x\r\nBcc: all@example.org\r\n\r\n.",
        u8"ディスク障害あ,あ)(容量95%)",
    };
    const std::regex ownHeader("^(From|To|Date|Subject|Mime-Version|Message-ID|Content-Type|"
                               "Content-Transfer-Encoding|Priority): |^\t");
    for (const std::string& entry : cases) {
        TSMTPMail mail;
        mail.SetMessageID("<id>");
        mail.SetBody({entry});
        mail.SetSubject(entry);
        bool inBody = false;
        for (const std::string& line : Lines(mail)) {
            EXPECT_LE(line.size(), inBody && line[0] == '.' ? 999u : 998u);
            for (char b : line) ASSERT_TRUE(b > 0 && b != '\r' && b != '\n') << line;
            EXPECT_TRUE(inBody || line.empty() || std::regex_search(line, ownHeader)) << line;
            EXPECT_FALSE(inBody && line == ".");
            const size_t escape = line.rfind('\x1B');
            EXPECT_TRUE(escape == std::string::npos || line.compare(escape, 3, "\x1B(B") == 0) << line;
            inBody = inBody || line.empty();
        }
    }
}

}  // namespace
}  // namespace quorvel
