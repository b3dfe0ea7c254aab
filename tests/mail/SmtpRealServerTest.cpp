// The mail client against a real SMTP server (aiosmtpd) that verifies the
// authentication and reads the delivered mail as a mail client would.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "mail/DMail.h"

namespace quorvel {
namespace {

constexpr char kAccount[] = "alerts";
constexpr char kPassword[] = "s3cret-pass";

class SmtpSink {
public:
    SmtpSink() {
        char folder[] = "/tmp/quorvel-smtp-XXXXXX";
        if (mkdtemp(folder) == nullptr) return;
        folder_ = folder;
        // The helper script sits beside this source file.
        const std::string script = (std::filesystem::path(__FILE__).parent_path() / "smtp_sink.py").string();
        const std::string command = "exec /usr/bin/python3 '" + script + "' '" + folder_ + "' " + kAccount + " " +
                                    kPassword;
        pipe_ = popen(command.c_str(), "r");
        char line[32] = {};
        if (pipe_ != nullptr && std::fgets(line, sizeof line, pipe_) != nullptr) port_ = std::atoi(line);
    }
    ~SmtpSink() {
        if (!folder_.empty()) std::ofstream(folder_ + "/stop").put('x');
        if (pipe_ != nullptr) pclose(pipe_);
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    int Port() const { return port_; }
    int Messages() const {
        int n = 0;
        while (std::filesystem::exists(folder_ + "/msg" + std::to_string(n + 1))) ++n;
        return n;
    }
    std::string Field(int message, const std::string& name) const {
        std::ifstream in(folder_ + "/msg" + std::to_string(message) + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string folder_;
    FILE* pipe_ = nullptr;
    int port_ = 0;
};

struct Mail : TSMTPMail {
    std::vector<std::string> log;
    explicit Mail(int port) {
        SetLogList(&log);
        SetWriteLogDate(false);
        SetServerName("127.0.0.1");
        SetPort(port);
        SetTimeoutVal(5);
        SetTimeoutCount(1);
        SetFromAddress("alert@quorvel.example");
        SetToAddress("ops@example.com");
        SetX_Mailer("Quorvel Service");
    }
    bool Logged(const std::string& text) const {
        for (const auto& line : log)
            if (line == text) return true;
        return false;
    }
};

// The Date header follows the machine's zone; restore it afterwards.
class ZoneOverride {
public:
    explicit ZoneOverride(const char* zone) {
        const char* old = getenv("TZ");
        if (old != nullptr) old_ = old;
        hadZone_ = old != nullptr;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneOverride() {
        if (hadZone_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
        tzset();
    }

private:
    bool hadZone_ = false;
    std::string old_;
};

TEST(SmtpRealServer, AlertMailReadsBackAsAMailClientSeesIt) {
    SmtpSink sink;
    ASSERT_NE(sink.Port(), 0) << "aiosmtpd did not start (apt-get install python3-aiosmtpd)";
    ZoneOverride zone("IST-5:30");

    const char* subject = u8"【警告】キーワードを検出しました：ディスク容量が不足しています";
    const char* fromName = u8"監視サーバ 東京";
    const char* message = u8"<11>Dec  6 02:06:02 db01 ディスク障害を検出 error";
    Mail mail(sink.Port());
    mail.SetFromName(test::Sjis(fromName));
    mail.SetSubject(test::Sjis(subject));
    mail.Body() = {"", "192.168.0.5 said", test::Sjis(message), ".profile", ".", "..", "end"};
    const time_t sent = time(nullptr);
    ASSERT_EQ(mail.SendMail(), 0);
    EXPECT_TRUE(mail.Logged("Disconnect Server"));

    ASSERT_EQ(sink.Messages(), 1);
    EXPECT_EQ(sink.Field(1, "headers"),
              "From\nTo\nDate\nSubject\nMime-Version\nMessage-ID\nContent-Type\nContent-Transfer-Encoding\n"
              "Priority\nX-Mailer");
    EXPECT_EQ(sink.Field(1, "subject"), subject);
    EXPECT_EQ(sink.Field(1, "from_name"), fromName);
    EXPECT_EQ(sink.Field(1, "from_addr"), "alert@quorvel.example");
    EXPECT_EQ(sink.Field(1, "mail_from"), "alert@quorvel.example");
    EXPECT_EQ(sink.Field(1, "rcpt"), "ops@example.com");
    EXPECT_EQ(sink.Field(1, "charset"), "iso-2022-jp");
    // Every dot line reads back as written, the lone "." included; the empty
    // line before the end marker is part of the body.
    EXPECT_EQ(sink.Field(1, "body"), std::string("\n192.168.0.5 said\n") + message + "\n.profile\n.\n..\nend\n\n");
    EXPECT_TRUE(std::regex_match(sink.Field(1, "message_id"), std::regex("<[0-9a-f]{40}@quorvel\\.example>")))
        << sink.Field(1, "message_id");
    EXPECT_EQ(sink.Field(1, "date_offset"), "+0530");
    const long when = std::atol(sink.Field(1, "date_epoch").c_str());
    EXPECT_LE(std::labs(when - static_cast<long>(sent)), 5L) << "the Date header names a wrong instant";
}

TEST(SmtpRealServer, Authentication) {
    SmtpSink sink;
    ASSERT_NE(sink.Port(), 0);
    struct Case {
        const char* name;
        int startCommand;
        TSMTPAuthType type;
        const char* password;
        int32_t result;
    } cases[] = {
        {"LOGIN after EHLO", 1, SA_LOGIN, kPassword, 0},
        {"CRAM-MD5 after EHLO", 1, SA_CRAMMD5, kPassword, 0},
        {"LOGIN with a wrong password", 1, SA_LOGIN, "wrong", -6},
        {"CRAM-MD5 with a wrong password", 1, SA_CRAMMD5, "wrong", -6},
        {"AUTH after HELO is not offered", 0, SA_LOGIN, kPassword, -6},
    };
    int delivered = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mail mail(sink.Port());
        mail.SetStartCommandType(c.startCommand);
        mail.SetSMTPAuthType(c.type);
        mail.SetSMTPAuthAccount(kAccount);
        mail.SetSMTPAuthPassword(c.password);
        mail.Body() = {"authenticated mail"};
        EXPECT_EQ(mail.SendMail(), c.result);
        // The server answered the failure: no wait ran into its time-out.
        EXPECT_FALSE(c.result != 0 && c.startCommand == 1 && !mail.Logged("535 5.7.8 Authentication credentials invalid"));
        // QUIT went out and the server answered it in step.
        EXPECT_TRUE(mail.Logged("Disconnect Server"));
        if (c.result == 0) {
            ++delivered;
            ASSERT_EQ(sink.Messages(), delivered);
            EXPECT_EQ(sink.Field(delivered, "login"), kAccount);
            EXPECT_EQ(sink.Field(delivered, "body"), "authenticated mail\n\n");
        }
    }
    EXPECT_EQ(sink.Messages(), delivered);
}

}  // namespace
}  // namespace quorvel
