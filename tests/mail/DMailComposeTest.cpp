#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "mail/DMail.h"
#include "util/jconvert.h"

namespace quorvel {
namespace {

// The composed message, line by line.
std::vector<std::string> Lines(TSMTPMail& mail) {
    std::string text;
    mail.ComposeMessage(&text);
    EXPECT_EQ(text.compare(text.size() - 2, 2, "\r\n"), 0);
    std::vector<std::string> out;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        out.push_back(text.substr(start, end - start));
    return out;
}

// The recipient's server removes one leading dot of every line (RFC 5321
// 4.5.2), so the wire form carries one more; a bare line end inside an entry
// could otherwise end the DATA early and smuggle commands after it.
TEST(ComposeMessage, BodyLinesAreDotStuffedAndSplitAtBareLineEnds) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {".", {".."}},
        {"x\r\n.\r\nRSET", {"x", "..", "RSET"}},
        {std::string(998, 'x') + ".\r\n.", {std::string(998, 'x'), "..", ".."}},
    };
    for (const auto& [entry, wire] : cases) {
        TSMTPMail mail;
        mail.SetBody({entry});
        for (int round = 0; round < 2; ++round) {  // a second send goes out alike
            const std::vector<std::string> lines = Lines(mail);
            EXPECT_EQ(std::vector<std::string>(lines.begin() + 10, lines.end()), wire) << round;
        }
    }
}

TEST(ComposeMessage, GeneratedMessageIdsDifferWithinOneSecond) {
    std::string ids[2];
    for (std::string& id : ids) {
        TSMTPMail mail;
        mail.SetClock([] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 0}; });
        mail.SetFromAddress("alert@quorvel.example");
        id = Lines(mail)[4];
        EXPECT_TRUE(std::regex_match(id, std::regex("Message-ID: <[0-9a-f]{40}@quorvel.example>"))) << id;
    }
    EXPECT_NE(ids[0], ids[1]);
    TSMTPMail nullSender;
    EXPECT_EQ(Lines(nullSender)[0], "From: <>");
    // Without a sender's domain the id takes the name the client greets with.
    EXPECT_TRUE(std::regex_match(Lines(nullSender)[4], std::regex("Message-ID: <[0-9a-f]{40}@quorvel\\.test>")))
        << Lines(nullSender)[4];
    nullSender.ComposeMessage(nullptr);  // nothing to write into: no crash
}

// Whatever the subject and body hold, strict servers take the mail: 7-bit, no line over 998
// bytes, no header but its own, no lone "." that ends the DATA, no line left in kanji mode.
TEST(ComposeMessage, HostileTextsGiveValidMail) {
    std::string allBytes;
    for (int b = 0; b < 512; ++b) allBytes += static_cast<char>(b);
    const std::regex ownHeader("^(From|To|Date|Subject|Mime-Version|Message-ID|Content-Type|"
                               "Content-Transfer-Encoding|Priority): |^\t");
    for (const TMailCharset charset : {MC_ISO2022JP, MC_UTF8})
    for (const std::string& entry : {allBytes, std::string("a\0b\x1B$Bc\x0E\x0F\x7F\x01", 12),
                                     std::string("x\r\nBcc: all@example.org\r\n\r\n."),
                                     std::string(u8"ディスク障害あ,あ)(容量95%)")}) {
        TSMTPMail mail;
        mail.SetCharset(charset);
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

// A UTF-8 mail carries the text byte for byte: the subject's words, each
// within RFC 2047's 75 characters and cut between characters, and the
// Base64 body decode to what was handed over, line ends as CR LF.
TEST(ComposeMessage, Utf8MailDecodesToTheTextsGiven) {
    const std::string subject = u8"ディスク障害 😀 髙橋〜 " + std::string(40, 'x') + u8"－の警告です";
    TSMTPMail mail;
    mail.SetCharset(MC_UTF8);
    mail.SetSubject(subject);
    mail.SetBody({"", u8"127.0.0.1 said", u8"容量95%\nです\r"});
    const std::vector<std::string> lines = Lines(mail);
    std::string decodedSubject, body;
    const std::regex word("=\\?utf-8\\?B\\?([A-Za-z0-9+/=]+)\\?=");
    bool inSubject = false, inBody = false;
    for (const std::string& line : lines) {
        if (inBody) body += line;
        inBody = inBody || line.empty();
        inSubject = line.rfind("Subject: ", 0) == 0 || (inSubject && line[0] == '\t');
        if (!inSubject) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, word)) << line;
        EXPECT_LE(m.length(0), 75) << line;
        const std::string piece = DecodeBase64(m[1].str());
        EXPECT_NE(static_cast<unsigned char>(piece[0]) & 0xC0, 0x80) << "word starts inside a character";
        decodedSubject += piece;
    }
    EXPECT_EQ(decodedSubject, subject);
    EXPECT_EQ(DecodeBase64(body), u8"\r\n127.0.0.1 said\r\n容量95%\r\nです\r\n\r\n");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Content-Transfer-Encoding: base64"), lines.end());
}

}  // namespace
}  // namespace quorvel
