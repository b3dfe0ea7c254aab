// The SMTP dialogue against a scripted server: refusals, silences, replies
// split across reads, and the exact bytes on the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "mail/DMail.h"
#include "platform/TcpSocket.h"

namespace quorvel {
namespace {

using test::ScriptedPeer;
using test::ScriptedServer;

// The command lines the server received; the DATA content is left out and
// HELO/EHLO lose their host name.
std::vector<std::string> Commands(const std::string& wire) {
    std::vector<std::string> out;
    bool inData = false;
    for (size_t at = 0, end; (end = wire.find("\r\n", at)) != std::string::npos; at = end + 2) {
        std::string line = wire.substr(at, end - at);
        if (!inData && !out.empty() && out.back() == "DATA") inData = line.rfind("From: ", 0) == 0;
        if (inData) {
            inData = line != ".";
        } else {
            out.push_back(line.rfind("HELO ", 0) == 0 || line.rfind("EHLO ", 0) == 0 ? line.substr(0, 4) : line);
        }
    }
    return out;
}

struct Mail : TSMTPMail {
    std::vector<std::string> log;
    bool Logged(const std::string& text) const { return std::find(log.begin(), log.end(), text) != log.end(); }
    explicit Mail(uint16_t port) {
        SetLogList(&log);
        SetWriteLogDate(false);
        SetServerName("127.0.0.1");
        SetPort(port);
        SetFromAddress("alert@quorvel.example");
        SetToAddress("ops@example.com");
        SetTimeoutVal(2);
        SetTimeoutCount(1);
        Body() = {"", "192.168.0.5 said", "disk error"};
    }
};

TEST(SmtpSession, ScriptedDialogues) {
    const std::string ok = "250 ok\r\n", bye = "221 bye\r\n", hi = "220 mx ready\r\n";
    const std::string from = "MAIL FROM: <alert@quorvel.example>", to = "RCPT TO: <ops@example.com>";
    struct Case {
        const char* name;
        ScriptedServer::Script script;
        std::function<void(TSMTPMail&)> setup;
        int32_t result;
        std::vector<std::string> commands;
        bool quitAnswered = true;
    } cases[] = {
        {"greeting refused, QUIT still sent", ScriptedServer::Replies({"554 no service\r\n", bye}), {}, -99,
         {"QUIT"}},
        {"closed after greeting", [&](ScriptedPeer& p) { p.Send(hi); p.Close(); }, {}, -1, {"HELO", "QUIT"}, false},
        {"a refusal behind a whole reply belongs to the next command",
         ScriptedServer::Replies({hi, "250 mx\r\n421 closing\r\n", "", bye}), {}, -2,
         {"HELO", from, "QUIT"}},
        {"EHLO reply split across reads keeps the dialogue in step up to the refused message",
         ScriptedServer::Replies({hi, "250-mx greets\r\n\x01" "250-SIZE 10240000\r\n250-8BIT\x01MIME\r\n\x01" "250 HELP\r\n",
                                  ok, ok, "354 go\r\n", "554 rejected\r\n", bye}),
         [](TSMTPMail& m) { m.SetStartCommandType(1); }, -5,
         {"EHLO", from, to, "DATA", "QUIT"}},
        {"refused recipient, accepted cc goes on to DATA",
         ScriptedServer::Replies({hi, ok, ok, "550 no such user\r\n", ok, "354 go\r\n", ok, bye}),
         [](TSMTPMail& m) { m.SetCc({"", "cc@example.com", ""}); }, 0,
         {"HELO", from, to, "RCPT TO: <cc@example.com>", "DATA", "QUIT"}},
        {"DATA refused", ScriptedServer::Replies({hi, ok, ok, ok, "554 no data\r\n", bye}), {}, -4,
         {"HELO", from, to, "DATA", "QUIT"}},
        {"null sender", ScriptedServer::Replies({hi, ok, ok, ok, "354 go\r\n", ok, bye}),
         [](TSMTPMail& m) { m.SetFromAddress(""); }, 0,
         {"HELO", "MAIL FROM: <>", to, "DATA", "QUIT"}},
        {"STARTTLS asked for but not offered: no AUTH, no fall-back to plain text",
         ScriptedServer::Replies({hi, "250-mx\r\n250 AUTH LOGIN\r\n", bye}),
         [](TSMTPMail& m) { m.SetTlsMode(ST_STARTTLS); m.SetSMTPAuthType(SA_LOGIN); m.SetSMTPAuthAccount("a"); },
         -15, {"EHLO", "QUIT"}},
        {"STARTTLS refused", ScriptedServer::Replies({hi, "250-mx\r\n250-starttls\r\n250 8BITMIME\r\n",
                                                      "454 not now\r\n", bye}),
         [](TSMTPMail& m) { m.SetTlsMode(ST_STARTTLS); }, -15, {"EHLO", "STARTTLS", "QUIT"}},
        {"a failed handshake sends nothing more in plain text",
         [&](ScriptedPeer& p) {
             p.Send(hi);
             p.ReadUntil("\r\n");
             p.Send("250-mx\r\n250 STARTTLS\r\n");
             p.ReadUntil("\r\n");
             p.Send("220 go ahead\r\nnot a TLS record\r\n");
             ScriptedPeer::Pause(300);
             p.Close();
         },
         [](TSMTPMail& m) { m.SetTlsMode(ST_STARTTLS); }, -16, {"EHLO", "STARTTLS"}, false},
        {"CRAM-MD5 without a challenge sends no answer",
         ScriptedServer::Replies({hi, "250-mx\r\n250 AUTH CRAM-MD5\r\n", "334\r\n", bye}),
         [](TSMTPMail& m) { m.SetStartCommandType(1); m.SetSMTPAuthType(SA_CRAMMD5); },
         -6, {"EHLO", "AUTH CRAM-MD5", "QUIT"}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        Mail mail(server.Port());
        if (c.setup) c.setup(mail);
        EXPECT_EQ(mail.SendMail(), c.result);
        EXPECT_EQ(mail.SocketHandle(), -1);
        server.Join();
        EXPECT_EQ(Commands(server.Received()), c.commands);
        EXPECT_EQ(mail.Logged("Disconnect Server"), c.quitAnswered);
    }
}

// A silent server costs TimeoutCount + 1 periods per wait (greeting and QUIT);
// one that trickles a byte at a time cannot stretch the wait either.
TEST(SmtpSession, SilentOrTricklingServerGivesUpInTime) {
    const struct {
        ScriptedServer::Script script;
        double atLeast, below;
    } cases[] = {
        {[](ScriptedPeer& p) { p.ReadUntil("\r\n"); }, 3.8, 6.0},
        {[](ScriptedPeer& p) {
             for (int i = 0; i < 12; ++i, ScriptedPeer::Pause(400)) p.Send("2");
         }, 0, 6.5},
    };
    for (const auto& c : cases) {
        ScriptedServer server(c.script);
        Mail mail(server.Port());
        mail.SetTimeoutVal(1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(mail.SendMail(), -99);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, c.atLeast);
        EXPECT_LT(seconds, c.below);
        server.Join();
        EXPECT_EQ(server.Received(), "QUIT\r\n");
    }
}

// The mail deadline bounds the whole dialogue whatever the single waits
// allow, and a connect that is never answered ends after TimeoutVal.
TEST(SmtpSession, MailDeadlineAndConnectTimeOut) {
    const struct {
        const char* name;
        ScriptedServer::Script script;
        int32_t result;
        const char* error;
    } cases[] = {
        {"silent", [](ScriptedPeer& p) { p.ReadUntil("\r\n", 8); }, -99, "mail deadline reached"},
        {"trickling", [](ScriptedPeer& p) {
             for (int i = 0; i < 20; ++i, ScriptedPeer::Pause(300)) p.Send("2");
         }, -99, "mail deadline reached"},
        {"silent after EHLO", [](ScriptedPeer& p) {
             p.Send("220 mx\r\n");
             p.ReadUntil("\r\n", 8);
         }, -1, "mail deadline reached"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        Mail mail(server.Port());
        mail.SetTimeoutVal(30);
        mail.SetTimeoutCount(4);
        mail.SetMailTimeout(2);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(mail.SendMail(), c.result);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(seconds, 1.9);
        EXPECT_LT(seconds, 3.5);
        EXPECT_EQ(mail.ErrorText(), c.error);
        server.Join();
    }
}

TEST(SmtpSession, UnansweredConnectEndsAfterTimeoutVal) {
    // A listener whose backlog is full drops further SYNs unanswered, as a
    // filtering firewall would, without leaving the loopback interface.
    uint16_t port = 0;
    const int listener = test::ListenLoopback(port);
    ASSERT_GE(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 12; ++i) {
        const int s = platform::CreateTcpSocket();
        platform::ConnectTcpWithin(s, 0x7F000001, port, 200);
        fillers.push_back(s);
    }
    Mail mail(port);
    mail.SetTimeoutVal(1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mail.SendMail(), -11);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.5);
    // Windows refuses at once where Linux stays silent; either way no wait
    // of the system's own length.
    if (mail.WinsockError() == platform::kConnectTimedOut) {
        EXPECT_EQ(mail.ErrorText(), "connect timed out");
    }
    for (int s : fillers) platform::CloseTcpSocket(s);
    platform::CloseTcpSocket(listener);
}

TEST(SmtpSession, AddressChecksComeFirstAndInOrder) {
    struct Case {
        std::string server, from, to;
        bool nullFrom;
        int32_t result;
    } cases[] = {
        {"", "", "", false, -14},
        {"127.0.0.1", "", "ops@example.com", false, -12},
        {"127.0.0.1", "", "", false, -12},
        {"127.0.0.1", "a@b", "", true, -13},
    };
    for (const Case& c : cases) {
        ScriptedServer server([](ScriptedPeer&) {});
        Mail mail(server.Port());
        mail.SetServerName(c.server);
        mail.SetFromAddress(c.from);
        mail.SetToAddress(c.to);
        mail.SetNullFromAddress(c.nullFrom);
        EXPECT_EQ(mail.SendMail(), c.result);
        server.Join();
        EXPECT_FALSE(server.Accepted());
    }
}

TEST(SmtpSession, ConnectionFailureGivesMinus11WithoutQuit) {
    uint16_t port;
    {
        ScriptedServer probe([](ScriptedPeer&) {});
        port = probe.Port();
    }
    Mail mail(port);
    EXPECT_EQ(mail.SendMail(), -11);
    EXPECT_TRUE(mail.Logged("Resolve Time Out"));
    EXPECT_FALSE(mail.Logged("Wait to host type : Quit"));
}

TEST(SmtpSession, ExactBytesOnTheWire) {
    ScriptedServer server(ScriptedServer::Replies(
        {"220 mx\r\n", "250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "250 ok\r\n", "221 bye\r\n"}));
    Mail mail(server.Port());
    mail.SetClock([] {
        platform::LocalTime t;
        t.Year = 2026; t.Month = 12; t.Day = 16; t.Hour = 23; t.Minute = 5; t.Second = 9;
        t.DayOfWeek = 3;
        t.UtcOffsetMinutes = 60;
        return t;
    });
    mail.SetMessageID("<m1@quorvel.example>");
    mail.Body() = {"first", ".", ".hidden", "", "last"};
    ASSERT_EQ(mail.SendMail(), 0);
    server.Join();
    const std::string expected =
        "HELO " + mail.LocalHostName() + "\r\n" +
        "MAIL FROM: <alert@quorvel.example>\r\n"
        "RCPT TO: <ops@example.com>\r\n"
        "DATA\r\n"
        "From: <alert@quorvel.example>\r\n"
        "To: <ops@example.com>\r\n"
        "Date: Wed, 16 Dec 2026 23:05:09 +0100\r\n"
        "Mime-Version: 1.0\r\n"
        "Message-ID: <m1@quorvel.example>\r\n"
        "Content-Type: text/plain;\r\n"
        "\tcharset=\"iso-2022-jp\"\r\n"
        "Content-Transfer-Encoding: 7bit\r\n"
        "Priority: normal\r\n"
        "\r\n"
        "first\r\n"
        "..\r\n"
        "..hidden\r\n"
        "\r\n"
        "last\r\n"
        "\r\n.\r\n"
        "QUIT\r\n";
    EXPECT_EQ(server.Received(), expected);
    EXPECT_EQ(mail.Body()[1], "..");
}

}  // namespace
}  // namespace quorvel
