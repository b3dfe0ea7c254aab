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

}  // namespace
}  // namespace quorvel
