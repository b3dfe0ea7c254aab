#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "mail/DMail.h"
#include "mail/MailTexts.h"

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

TEST(MailTexts, MatchCp932OfTheirJapaneseOriginals) {
    EXPECT_EQ(test::Sjis(u8"応答待機の間に例外が発生 : "), mailtext::kWaitException);
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

}  // namespace
}  // namespace quorvel
