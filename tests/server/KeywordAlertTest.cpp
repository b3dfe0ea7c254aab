// Keyword alerts: which keyword a message triggers, and one mail per address
// of it with its outcome in the operation log.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "SjisReference.h"
#include "server/ServerTestSupport.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

using test::Sjis;
using namespace std::string_literals;

TKeywordList Keywords(std::vector<std::string> words) {
    TKeywordList list;
    for (auto& w : words) list.push_back({w, {"ops@example.org"}});
    return list;
}

std::string Match(const TKeywordList& list, std::string_view message) {
    const TKeyword* k = TSyslogService::FindKeyword(list, message);
    return k ? k->Keyword : "<none>";
}

TEST(KeywordMatch, FirstKeywordInListOrderWinsAndCaseCounts) {
    const TKeywordList list = Keywords({"Error", "error", "disk"});
    EXPECT_EQ(Match(list, "an error occurred"), "error");
    EXPECT_EQ(Match(list, "disk Error and error"), "Error");  // list order, not position
    EXPECT_EQ(Match(list, "ERROR"), "<none>");
    EXPECT_EQ(Match(list, "disk full"), "disk");
    EXPECT_EQ(Match(Keywords({""}), "anything"), "<none>");  // an empty keyword never matches
}

TEST(KeywordMatch, TextAfterNulIsNotSearched) {
    const TKeywordList list = Keywords({"error"});
    EXPECT_EQ(Match(list, "ok\0error"s), "<none>");
    EXPECT_EQ(Match(list, "error\0ok"s), "error");
}

TEST(KeywordMatch, OccurrenceStartingOnTrailByteDoesNotCount) {
    // "ソ" is 0x83 0x5C: its trail byte is a backslash. "ア" is 0x83 0x41,
    // whose trail byte is "A".
    const TKeywordList list = Keywords({"\\n", "A"});
    EXPECT_EQ(Match(list, Sjis("ソn")), "<none>");
    EXPECT_EQ(Match(list, Sjis("ソn\\n")), "\\n");  // a later real occurrence still counts
    EXPECT_EQ(Match(list, Sjis("ア")), "<none>");
    EXPECT_EQ(Match(list, Sjis("アA")), "A");
    // A keyword spanning a whole double-byte character matches at its lead byte.
    EXPECT_EQ(Match(Keywords({Sjis("ソ")}), Sjis("xソ")), Sjis("ソ"));
}

// Serves SMTP connections one after another until `count` mails were
// attempted, refusing RCPT for any address containing "refused"; keeps the
// DATA of each accepted mail.
class SmtpSink {
public:
    explicit SmtpSink(int count) : server_([this](test::ScriptedPeer& peer) { Serve(peer); }, count) {}
    // Waits until the expected connections were served.
    void Join() { server_.Join(); }
    uint16_t Port() const { return server_.Port(); }
    // Valid after Join.
    std::vector<std::string> Mails;
    std::vector<std::string> Recipients;

private:
    void Serve(test::ScriptedPeer& peer) {
        peer.Send("220 sink\r\n");
        for (;;) {
            std::string line = peer.ReadLine();
            if (peer.Eof()) return;
            if (line.rfind("RCPT TO:", 0) == 0) {
                Recipients.push_back(line);
                peer.Send(line.find("refused") != std::string::npos ? "550 no such user\r\n"
                                                                     : "250 ok\r\n");
            } else if (line == "DATA") {
                peer.Send("354 go\r\n");
                Mails.push_back(peer.ReadData());
                peer.Send("250 queued\r\n");
            } else if (line == "QUIT") {
                peer.Send("221 bye\r\n");
                return;
            } else {
                peer.Send("250 ok\r\n");
            }
        }
    }
    // Last, so that it stops serving before the lists above go.
    test::ScriptedServer server_;
};

class KeywordAlertTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.LogsFolder = folder.path();
        service.SystemLogName = "Quorvel.log";
        service.MailFromAddress = "quorvel@example.org";
        service.Clock = [] {
            platform::LocalTime t;
            t.Year = 2026, t.Month = 12, t.Day = 6, t.Hour = 2, t.Minute = 6, t.Second = 2;
            t.Millisecond = 45;
            return t;
        };
    }
    std::string OperationLog() { return test::ReadFile(folder.path() + "Quorvel.log"); }

    test::TempFolder folder;
    TSyslogService service;
};

TEST_F(KeywordAlertTest, OneMailPerAddressWithEachOutcomeLoggedInOrder) {
    const std::string stamp = "2026/12/06 02:06:02.045  ";
    {
        SmtpSink sink(3);
        service.MailServerPort = sink.Port();
        service.KeywordList = {{"error", {"x@example.org"}},
                               {"disk", {"a@example.org", "refused@example.org", "c@example.org"}}};
        service.CheckKeywords("disk full\x01\0error"s, "192.168.0.5");
        service.CheckKeywords("nothing to see", "192.168.0.5");
        sink.Join();
    }
    EXPECT_EQ(OperationLog(),
              stamp + "127.0.0.1" + Sjis(" へ ") + "a@example.org" +
                  Sjis(" 宛のメール送信を行いました。(") + "disk)\r\n" +
              stamp + "127.0.0.1" + Sjis(" へ ") + "refused@example.org" +
                  Sjis(" 宛のメール送信に失敗しました。") + "\r\n" +
              stamp + "127.0.0.1" + Sjis(" へ ") + "c@example.org" +
                  Sjis(" 宛のメール送信を行いました。(") + "disk)\r\n");
}

TEST_F(KeywordAlertTest, MailCarriesSenderLineAndConvertedBody) {
    std::vector<std::string> mails;
    {
        SmtpSink sink(1);
        service.MailServerPort = sink.Port();
        service.CnvCtrlCode = "#";
        service.KeywordList = {{"warn", {"a@example.org"}}};
        service.CheckKeywords("<12>warn\tdisk\0x"s, "2001:db8::1");
        sink.Join();
        mails = sink.Mails;
    }
    ASSERT_EQ(mails.size(), 1u);
    const std::string& mail = mails[0];
    const size_t bodyStart = mail.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos);
    // The body: an empty line, the sender line, the message as the log shows it.
    EXPECT_EQ(mail.substr(bodyStart + 4), "\r\n2001:db8::1 said\r\n<12>warn#diskx\r\n");
    EXPECT_NE(mail.find("Subject: Quorvel warning\r\n"), std::string::npos);
    EXPECT_NE(mail.find("X-Mailer: Quorvel Service\r\n"), std::string::npos);
    EXPECT_NE(mail.find("From: <quorvel@example.org>\r\nTo: <a@example.org>\r\n"), std::string::npos);
}

TEST_F(KeywordAlertTest, NoMailServerOrNoKeywordSendsNothing) {
    service.KeywordList = {{"error", {"a@example.org"}}};
    service.MailServer = "";
    service.CheckKeywords("error", "192.168.0.5");
    service.MailServer = "127.0.0.1";
    service.KeywordList = {{"error", {}}};
    service.CheckKeywords("error", "192.168.0.5");
    EXPECT_EQ(OperationLog(), "");
}

}  // namespace
}  // namespace quorvel
