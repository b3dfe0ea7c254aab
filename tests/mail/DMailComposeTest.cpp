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

std::string Jis(const char* utf8) { return test::IconvConvert(utf8, "UTF-8", "ISO-2022-JP"); }

TEST(MailTexts, MatchCp932OfTheirJapaneseOriginals) {
    EXPECT_EQ(test::Sjis(u8"応答待機の間に例外が発生 : "), mailtext::kWaitException);
}

TEST(ComposeMessage, AlertMailHeadersInOrderThenJisBody) {
    TSMTPMail mail;
    mail.SetClock([] { return At(540); });
    mail.SetFromAddress("alert@quorvel.example");
    mail.SetToAddress("ops@example.com");
    mail.SetSubject("Disk full");
    mail.SetX_Mailer("Quorvel Service");
    mail.Body() = {"", "192.168.0.5 said", test::Sjis(u8"ディスク異常 on host")};
    std::vector<std::string> lines = Lines(Compose(mail));
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], "From: <alert@quorvel.example>");
    EXPECT_EQ(lines[1], "To: <ops@example.com>");
    EXPECT_EQ(lines[2], "Date: Sun,  6 Dec 2026 02:06:02 +0900");
    EXPECT_EQ(lines[3], "Subject: Disk full");
    EXPECT_EQ(lines[4], "Mime-Version: 1.0");
    EXPECT_TRUE(std::regex_match(lines[5], std::regex("Message-ID: <[0-9a-f]{40}@quorvel\\.example>")))
        << lines[5];
    EXPECT_EQ(lines[6], "Content-Type: text/plain;");
    EXPECT_EQ(lines[7], "\tcharset=\"iso-2022-jp\"");
    EXPECT_EQ(lines[8], "Content-Transfer-Encoding: 7bit");
    EXPECT_EQ(lines[9], "Priority: normal");
    EXPECT_EQ(lines[10], "X-Mailer: Quorvel Service");
    EXPECT_EQ(lines[11], "");
    EXPECT_EQ(lines[12], "");
    EXPECT_EQ(lines[13], "192.168.0.5 said");
    EXPECT_EQ(lines[14], Jis(u8"ディスク異常 on host"));
}

TEST(ComposeMessage, DateCarriesTheMachinesRealOffset) {
    struct Case {
        int offset;
        const char* zone;
    } cases[] = {{540, "+0900"}, {0, "+0000"}, {-300, "-0500"}, {330, "+0530"}, {-210, "-0330"}};
    for (const Case& c : cases) {
        TSMTPMail mail;
        mail.SetClock([&] { return At(c.offset); });
        mail.SetToAddress("a@b");
        EXPECT_EQ(Lines(Compose(mail))[2], std::string("Date: Sun,  6 Dec 2026 02:06:02 ") + c.zone);
    }
}

TEST(ComposeMessage, OptionalAndFallbackHeaders) {
    TSMTPMail mail;
    mail.SetClock([] { return At(540); });
    mail.SetFromName("Ops Team");
    mail.SetFromAddress("ops@example.com");
    mail.SetToName("Admin");
    mail.SetToAddress("admin@example.com");
    mail.SetMessageID("<fixed@id>");
    mail.SetContent_Type("");
    mail.SetContent_Encoding("");
    mail.SetMimeVersion("");
    mail.SetReplayTo("reply@example.com");
    mail.SetPriority(MP_HIGHLOW);
    mail.Header() = {"X-Extra: 1", "X-Other: two"};
    std::vector<std::string> expected = {
        "From: \"Ops Team\" <ops@example.com>",
        "To: \"Admin\" <admin@example.com>",
        "Date: Sun,  6 Dec 2026 02:06:02 +0900",
        "Mime-Version: 1.0",
        "Message-ID: <fixed@id>",
        "Content-Type: text/plain; charset=ISO-2022-JP",
        "Content-Transfer-Encoding: 7bit",
        "Reply-to: reply@example.com",
        "Priority: urgent",
        "X-Extra: 1",
        "X-Other: two",
        "",
    };
    EXPECT_EQ(Lines(Compose(mail)), expected);
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
