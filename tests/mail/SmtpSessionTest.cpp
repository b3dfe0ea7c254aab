// The SMTP dialogue against a scripted server: refusals, silences and
// replies split across reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ScriptedServer.h"
#include "mail/DMail.h"
#include "platform/TcpSocket.h"

namespace quorvel {
namespace {

using test::ScriptedPeer;
using test::ScriptedServer;

// The command lines the server received, without the DATA content and the
// HELO/EHLO host name.
std::vector<std::string> Commands(const std::string& wire) {
    std::vector<std::string> out;
    bool inData = false;
    for (size_t at = 0, end; (end = wire.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = wire.substr(at, end - at);
        inData = inData || line.rfind("From: ", 0) == 0;
        const bool hello = line.rfind("HELO ", 0) == 0 || line.rfind("EHLO ", 0) == 0;
        if (!inData) out.push_back(hello ? line.substr(0, 4) : line);
        inData = inData && line != ".";
    }
    return out;
}

struct Mail : TSMTPMail {
    std::vector<std::string> log;
    bool Logged(const std::string& text) const { return std::find(log.begin(), log.end(), text) != log.end(); }
    explicit Mail(uint16_t port) {
        SetLogList(&log);
        SetServerName("127.0.0.1");
        SetPort(port);
        SetFromAddress("alert@quorvel.example");
        SetToAddress("ops@example.com");
        SetTimeoutVal(1), SetTimeoutCount(1);
    }
    double TimedSend(int32_t expected) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SendMail(), expected);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

// A silent server costs TimeoutCount + 1 periods per wait (greeting and
// QUIT); one that trickles a byte at a time cannot stretch the wait, and the
// mail deadline bounds the whole dialogue whatever the single waits allow.
// The ceiling is generous: each fault it catches would take far longer.
TEST(SmtpSession, ScriptedDialogues) {
    const std::string ok = "250 ok\r\n", bye = "221 bye\r\n", hi = "220 mx ready\r\n", go = "354 go\r\n";
    const std::string from = "MAIL FROM: <alert@quorvel.example>", to = "RCPT TO: <ops@example.com>";
    using Setup = std::function<void(TSMTPMail&)>;
    const auto R = ScriptedServer::Replies;
    const Setup startTls = [](TSMTPMail& m) { m.SetTlsMode(ST_STARTTLS); };
    const struct {
        const char* name;
        ScriptedServer::Script script;
        Setup setup;
        int32_t result;
        std::vector<std::string> commands;
        bool quitAnswered = true;
        double atLeast = 0;
        std::string error = "";  // how ErrorText starts
    } cases[] = {
        {"greeting refused, QUIT still sent", R({"554 no\r\n", bye}), {}, kMailGreetingRefused, {"QUIT"}},
        {"closed after greeting", [&](ScriptedPeer& p) { p.Send(hi); p.Close(); }, {}, kMailHelloRefused,
         {"HELO", "QUIT"}, false},
        {"a refusal behind a whole reply belongs to the next command",
         R({hi, "250 mx\r\n421 closing\r\n", "", bye}), {}, kMailFromRefused, {"HELO", from, "QUIT"}},
        {"EHLO reply split across reads keeps the dialogue in step up to the refused message",
         R({hi, "250-mx greets\r\n\x01" "250-SIZE 10240000\r\n250-8BIT\x01MIME\r\n\x01" "250 HELP\r\n", ok, ok, go,
            "554 rejected\r\n", bye}),
         [](TSMTPMail& m) { m.SetStartCommandType(SC_EHLO); }, kMailMessageRefused, {"EHLO", from, to, "DATA", "QUIT"}},
        {"null sender", R({hi, ok, ok, ok, go, ok, bye}), [](TSMTPMail& m) { m.SetFromAddress(""); }, kMailSent,
         {"HELO", "MAIL FROM: <>", to, "DATA", "QUIT"}},
        {"STARTTLS refused", R({hi, "250-mx\r\n250-starttls\r\n250 8BITMIME\r\n", "454 no\r\n", bye}), startTls,
         kMailStartTlsFailed, {"EHLO", "STARTTLS", "QUIT"}, true, 0, "STARTTLS refused"},
        {"a failed handshake sends nothing more in plain text",
         R({hi, "250-mx\r\n250 STARTTLS\r\n", "220 go ahead\r\nnot a TLS record\r\n"}), startTls, kMailTlsFailed,
         {"EHLO", "STARTTLS"}, false},
        {"CRAM-MD5 without a challenge sends no answer", R({hi, "250-mx\r\n250 AUTH CRAM-MD5\r\n", "334\r\n", bye}),
         [](TSMTPMail& m) { m.SetSMTPAuthType(SA_CRAMMD5); }, kMailAuthFailed, {"HELO", "AUTH CRAM-MD5", "QUIT"}},
        {"silent", [](ScriptedPeer& p) { p.ReadUntil("\r\n"); }, {}, kMailGreetingRefused, {"QUIT"}, false, 3.8},
        {"trickling", [](ScriptedPeer& p) {
             for (int i = 0; i < 30 && p.Send("2"); ++i) test::Pause(400);
         }, {}, kMailGreetingRefused, {"QUIT"}, false},
        {"silent after HELO past the deadline", [&](ScriptedPeer& p) { p.Send(hi); p.Drain(); },
         [](TSMTPMail& m) { m.SetTimeoutVal(30), m.SetMailTimeout(2); }, kMailHelloRefused, {"HELO", "QUIT"}, false,
         1.9, "mail deadline reached"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        Mail mail(server.Port());
        if (c.setup) c.setup(mail);
        const double seconds = mail.TimedSend(c.result);
        EXPECT_GE(seconds, c.atLeast);
        EXPECT_LT(seconds, 9);
        EXPECT_EQ(mail.ErrorText().substr(0, c.error.size()), c.error);
        EXPECT_EQ(mail.SocketHandle(), platform::kNoSocket);
        server.Join();
        EXPECT_EQ(Commands(server.Received()), c.commands);
        EXPECT_EQ(mail.Logged("Disconnect Server"), c.quitAnswered);
    }
}

// Nothing is sent without a server, a sender (unless the null one may go)
// or a recipient, checked in that order; a connect that is refused or never
// answered (a full backlog drops SYNs unanswered, as a filtering firewall
// would) ends after TimeoutVal at most, without a QUIT.
TEST(SmtpSession, NoDialogueWithoutServerSenderRecipientOrConnection) {
    uint16_t silent = 0;
    const platform::SocketHandle listener = test::ListenLoopback(silent);
    std::vector<platform::SocketHandle> fillers(12);
    for (platform::SocketHandle& s : fillers) {
        ASSERT_EQ(platform::CreateTcpSocket(s), 0);
        platform::ConnectTcpWithin(s.Get(), 0x7F000001, silent, 200);
    }
    const uint16_t closed = ScriptedServer::ClosedPort();
    const struct {
        std::string server, from, to;
        bool nullFrom;
        uint16_t port;
        int32_t result;
    } cases[] = {
        {"", "", "", false, closed, kMailNoServer},
        {"127.0.0.1", "", "ops@example.com", false, closed, kMailNoSender},
        {"127.0.0.1", "", "", false, closed, kMailNoSender},
        {"127.0.0.1", "a@b", "", true, closed, kMailNoRecipient},
        {"127.0.0.1", "a@b", "ops@example.com", true, closed, kMailNoConnection},
        {std::string("127.0.0.1\0.evil", 15), "a@b", "ops@example.com", true, closed, kMailNoConnection},
        {"127.0.0.1", "a@b", "ops@example.com", true, silent, kMailNoConnection},
    };
    for (const auto& c : cases) {
        Mail mail(c.port);
        mail.SetServerName(c.server), mail.SetFromAddress(c.from), mail.SetToAddress(c.to);
        mail.SetNullFromAddress(c.nullFrom);
        // Windows refuses at once where Linux stays silent; either way no
        // wait of the system's own length.
        EXPECT_LT(mail.TimedSend(c.result), 6);
        EXPECT_EQ(mail.ErrorText(), mail.WinsockError() == platform::kConnectTimedOut ? "connect timed out" : "");
        EXPECT_FALSE(mail.Logged("Wait to host type : Quit"));
        EXPECT_EQ(mail.Logged("ResolveHost error"), c.server.find('\0') != std::string::npos) << "a NUL cuts no name";
    }
}

}  // namespace
}  // namespace quorvel
