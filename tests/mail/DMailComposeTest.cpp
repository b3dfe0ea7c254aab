#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "mail/DMail.h"
#include "mail/MailTexts.h"

namespace quorvel {
namespace {

platform::LocalTime At(int offsetMinutes) {
    platform::LocalTime t;
    t.Year = 2026; t.Month = 12; t.Day = 6; t.Hour = 2; t.Minute = 6; t.Second = 2;
    t.DayOfWeek = 0;
    t.UtcOffsetMinutes = offsetMinutes;
    return t;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0, pos;
    while ((pos = text.find("\r\n", start)) != std::string::npos) {
        out.push_back(text.substr(start, pos - start));
        start = pos + 2;
    }
    EXPECT_EQ(start, text.size()) << "message does not end with CR LF";
    return out;
}

std::string Compose(TSMTPMail& mail) {
    std::string out;
    mail.ComposeMessage(&out);
    return out;
}

TEST(MailTexts, MatchCp932OfTheirJapaneseOriginals) {
    EXPECT_EQ(test::Sjis(u8"応答待機の間に例外が発生 : "), mailtext::kWaitException);
}

TEST(ComposeMessage, DateCarriesTheMachinesRealOffset) {
    struct Case {
        int offset;
        const char* zone;
    } cases[] = {{540, "+0900"}, {0, "+0000"}, {-210, "-0330"}};
    for (const Case& c : cases) {
        TSMTPMail mail;
        mail.SetClock([&] { return At(c.offset); });
        mail.SetToAddress("a@b");
        EXPECT_EQ(Lines(Compose(mail))[2], std::string("Date: Sun,  6 Dec 2026 02:06:02 ") + c.zone);
    }
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
        {{".profile"}, {"..profile"}, {".profile"}},
        {{"..x"}, {"...x"}, {"..x"}},
        {{"a.b", ""}, {"a.b", ""}, {"a.b", ""}},
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
            std::vector<std::string> lines = Lines(Compose(mail));
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
        mail.SetClock([] { return At(540); });
        mail.SetFromAddress("alert@quorvel.example");
        mail.SetToAddress("ops@example.com");
        *id = Lines(Compose(mail))[4];
        EXPECT_EQ(id->rfind("Message-ID: <", 0), 0u);
    }
    EXPECT_NE(first, second);
}

TEST(ComposeMessage, NullSenderGivesEmptyBracketsAndDomain) {
    TSMTPMail mail;
    mail.SetToAddress("ops@example.com");
    std::vector<std::string> lines = Lines(Compose(mail));
    EXPECT_EQ(lines[0], "From: <>");
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("Message-ID: <[0-9a-f]{40}@>"))) << lines[4];
    TSMTPMail none;
    none.ComposeMessage(nullptr);  // nothing to write into: no crash
}

}  // namespace
}  // namespace quorvel
