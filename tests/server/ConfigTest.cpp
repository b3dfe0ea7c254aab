#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SjisReference.h"
#include "server/QuorvelService.h"
#include "TestFiles.h"

namespace quorvel {
namespace {

using test::Sjis;

class ConfigTest : public ::testing::Test {
protected:
    // Loads the ini bytes and returns LoadConfig's result.
    bool Load(const std::string& ini) {
        test::WriteFile(dir.path() + "Quorvel.ini", ini);
        return server.LoadConfig(dir.path());
    }
    TSyslogService* Slot(int n) { return server.Services[static_cast<size_t>(n - 1)].get(); }
    // Every mail setting and the number of keywords, joined by "|".
    static std::string MailSummary(const TSyslogService* s) {
        return s->MailServer + "|" + std::to_string(s->MailServerPort) + "|" + s->MailFromAddress + "|" +
               s->MailToAddress + "|" + s->MailSubject + "|" + std::to_string(s->MailServerSMTPAuth) + "|" +
               s->SMTPAuthID + "|" + s->SMTPAuthPass + "|" + std::to_string(s->KeywordList.size());
    }

    test::TempFolder dir;
    TSysLogServer server;
};

TEST_F(ConfigTest, EmptyFileGivesOneDefaultInstanceWithoutMail) {
    EXPECT_FALSE(server.LoadConfig(dir.path()));  // no Quorvel.ini yet
    ASSERT_TRUE(Load(""));
    TSyslogService* s = Slot(1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->SysLogPort, 514);
    // The default folder and log names are proven end to end.
    EXPECT_EQ(MailSummary(s), "127.0.0.1|25|||Quorvel warning|0|||0");
    for (int n = 2; n <= 10; ++n) EXPECT_EQ(Slot(n), nullptr) << n;
    std::filesystem::remove(dir.path() + "Quorvel.ini");
    EXPECT_FALSE(server.LoadConfig(dir.path()));
    EXPECT_EQ(Slot(1), nullptr);
}

// A misspelt or unreadable value keeps the safe side: no TLS is never
// assumed to be TLS, and only an explicit 0 turns the certificate check off.
TEST_F(ConfigTest, MailTlsAndDeadlineKeys) {
    struct Case { std::string ini; TSMTPTlsMode tls; bool verify; std::string caFile; int32_t timeout; };
    const Case cases[] = {
        {"", ST_NONE, true, "", 300},
        {"SMTPTLS=starttls\r\nSMTPTLSVERIFY=0\r\nMAILTIMEOUT=60\r\n", ST_STARTTLS, false, "", 60},
        {"SMTPTLS=TLS\r\nSMTPTLSCAFILE=/etc/quorvel/ca.pem\r\nMAILTIMEOUT=0\r\n", ST_IMPLICIT, true,
         "/etc/quorvel/ca.pem", 300},
        {"SMTPTLS=SSL\r\nSMTPTLSVERIFY=no\r\nMAILTIMEOUT=-5\r\n", ST_NONE, true, "", 300},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load("MAILSERVER=mx.example\r\nMAILTO=ops@example.org\r\n" + c.ini));
        SCOPED_TRACE(c.ini);
        EXPECT_EQ(Slot(1)->MailTls, c.tls);
        EXPECT_EQ(Slot(1)->MailTlsVerify, c.verify);
        EXPECT_EQ(Slot(1)->MailTlsCaFile, c.caFile);
        EXPECT_EQ(Slot(1)->MailTimeout, c.timeout);
    }
}

TEST_F(ConfigTest, PortRules) {
    // 0: slot empty. A port that is no port is a start problem of both
    // instances; they stay, so that their operation logs can say so.
    struct Case { std::string value; int32_t first; int32_t second; bool problem; };
    const Case cases[] = {
        {"\t-1 ", 0, 0, false}, {"1", 514, 514, false}, {"2", 2, 2, false}, {"65534", 65534, 65534, false},
        {"65535", 514, 514, false}, {"0", 514, 514, false}, {"5 140", 5140, 5140, false}, {"", 514, 0, false},
        {"abc", 514, 514, true}, {"514 ;syslog", 514, 514, true}, {"65536", 514, 514, true},
        {"-2", 514, 514, true}, {"$FFFFFFFF", 514, 514, true}, {"0xFFFFFFFF", 514, 514, true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load("SYSLOGPORT=" + c.value + "\r\nSYSLOGPORT2=" + c.value + "\r\n"));
        EXPECT_EQ(Slot(1) ? Slot(1)->SysLogPort : 0, c.first) << "'" << c.value << "'";
        EXPECT_EQ(Slot(2) ? Slot(2)->SysLogPort : 0, c.second) << "'" << c.value << "'";
        ASSERT_EQ(server.StartProblems.size(), c.problem ? 2u : 0u) << "'" << c.value << "'";
        if (c.problem) {
            EXPECT_EQ(server.StartProblems[0].Key, "SYSLOGPORT");
            EXPECT_EQ(server.StartProblems[1].Key, "SYSLOGPORT2");
            EXPECT_EQ(server.StartProblems[1].Value, c.value);
        }
    }
}

TEST_F(ConfigTest, KeysMatchAtLineStartInAnyCaseAndTheFirstCounts) {
    ASSERT_TRUE(Load(" SYSLOGPORT2=700\r\nSYSLOGPORT1=800\r\nsyslogport=600\r\nSYSLOGPORT=601\r\n"
                     "SysLogPort3=900\r\nSERVERIPADDRESS3=127.0.0.2\r\nSYSLOGLOGNAME3=op3.log\r\n"));
    ASSERT_NE(Slot(1), nullptr);
    EXPECT_EQ(Slot(1)->SysLogPort, 600);
    EXPECT_EQ(Slot(1)->ServerIPAddress, "");
    EXPECT_EQ(Slot(2), nullptr);
    ASSERT_NE(Slot(3), nullptr);
    EXPECT_EQ(Slot(3)->SysLogPort, 900);
    EXPECT_EQ(Slot(3)->ServerIPAddress, "127.0.0.2");
    EXPECT_EQ(Slot(3)->SystemLogName, "op3.log");
}

// Line ends and a NUL are the ini reader's; the values here are Shift_JIS.
TEST_F(ConfigTest, ShiftJisValuesAndNumberedKeys) {
    ASSERT_TRUE(Load("LOGTYPE=tab\rCNVCTRLCODE=" + Sjis(u8"ホ") + "a\nSYSLOGPORT2=600\r\n"));
    EXPECT_EQ(Slot(1)->LogType, ltTab);
    // Upper-casing leaves the trail byte of ホ ('z') alone.
    EXPECT_EQ(Slot(1)->CnvCtrlCode, Sjis(u8"ホ") + "A");
    ASSERT_NE(Slot(2), nullptr);
    EXPECT_EQ(Slot(2)->SysLogPort, 600);
    EXPECT_EQ(Slot(2)->LogType, ltMeta);  // LOGTYPE2= is its own key
}

TEST_F(ConfigTest, WordValues) {
    struct Case { std::string line; TLogType type; TLogRCode rcode; TSMTPAuthType auth; };
    const std::string mail = "MAILSERVER=m\r\nMAILTO=t\r\n";
    const Case cases[] = {
        {"LOGTYPE=csv", ltComma, rcCRLF, SA_NONE}, {"LOGTYPE=TAB", ltTab, rcCRLF, SA_NONE},
        {"LOGTYPE=text", ltMeta, rcCRLF, SA_NONE}, {"RCODE=lf", ltMeta, rcLF, SA_NONE},
        {"RCODE=CR", ltMeta, rcCR, SA_NONE},       {"RCODE=crlf ", ltMeta, rcCRLF, SA_NONE},
        {"SMTPAUTH=PLAIN", ltMeta, rcCRLF, SA_NONE},  // LOGIN and CRAM-MD5 work end to end
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load(mail + c.line + "\r\n"));
        EXPECT_EQ(Slot(1)->LogType, c.type) << c.line;
        EXPECT_EQ(Slot(1)->LogRCode, c.rcode) << c.line;
        EXPECT_EQ(Slot(1)->MailServerSMTPAuth, c.auth) << c.line;
    }
}

const char kMailIni[] =
    "MAILSERVERPORT=2 6\r\nMAILFROM=from@example.org\r\nSMTPAUTH=LOGIN\r\nSMTPAUTHID=id\r\n"
    "SMTPAUTHPASS= p w \r\nSYSLOGPORT4=1514\r\n"
    "KEYWORDLISTSTART\r\nerror\r\n\"disk full\" a@x, b@x\r\n  ,  \r\ndisk full\r\nKEYWORDLISTEND\r\nlate\r\n";

TEST_F(ConfigTest, MailSettingsAndKeywordsNeedBothServerAndRecipient) {
    const std::string applied = "smtp|26|from@example.org|ops@x|Quorvel Warning|2|id| p w |3";
    const std::string defaults = "127.0.0.1|25|||Quorvel warning|0|||0";
    const std::pair<std::string, std::string> cases[] = {
        {"MAILSERVER=smtp\r\nMAILTO=ops@x\r\n", applied},
        {"MAILSERVER=smtp\r\nMAILTO=\r\nMAILTO=ops@x\r\n", defaults},
        {"MAILTO=ops@x\r\n", defaults},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load(c.first + kMailIni));
        EXPECT_EQ(MailSummary(Slot(1)), c.second) << c.first;
        ASSERT_NE(Slot(4), nullptr);
        EXPECT_EQ(MailSummary(Slot(4)), c.second) << c.first;
    }
}

TEST_F(ConfigTest, MailIntervalIsOffUnlessAPositiveNumberIsGiven) {
    const std::pair<std::string, int64_t> cases[] = {
        {"", 0}, {"MAILINTERVAL=60\r\n", 60}, {"MAILINTERVAL=-5\r\n", 0}, {"MAILINTERVAL=soon\r\n", 0},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load("MAILSERVER=smtp\r\nMAILTO=ops@x\r\n" + c.first));
        EXPECT_EQ(Slot(1)->MailThrottle.IntervalSeconds(), c.second) << c.first;
    }
}

TEST_F(ConfigTest, KeywordBlockWithQuotedFieldsAndMailToFallback) {
    ASSERT_TRUE(Load("MAILSERVER=smtp\r\nMAILTO=ops@x\r\nMAILSUBJECT=\r\n" + std::string(kMailIni)));
    EXPECT_EQ(Slot(1)->MailSubject, "");
    // The quoted keyword and the MAILTO fallback are proven end to end.
    const TKeywordList& k = Slot(1)->KeywordList;
    ASSERT_EQ(k.size(), 3u);
    // Unquoted, the second word becomes an address.
    EXPECT_EQ(k[2].Keyword, "disk");
    EXPECT_EQ(k[2].AddrList, TKeywordAddrList{"full"});

    ASSERT_TRUE(Load("MAILSERVER=s\r\nMAILTO=t\r\nkeywordlistend\r\nKEYWORDLISTSTART\r\nerror\r\n"));
    EXPECT_TRUE(Slot(1)->KeywordList.empty());
}

TEST_F(ConfigTest, StatisticsIntervalIsOffUnlessPositive) {
    const std::pair<const char*, int32_t> cases[] = {
        {"", 0}, {"STATSINTERVAL=60\r\n", 60}, {"statsinterval= 1 0\r\n", 10},
        {"STATSINTERVAL=-5\r\n", 0}, {"STATSINTERVAL=often\r\n", 0},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Load(std::string(c.first) + "SYSLOGPORT2=600\r\n"));
        EXPECT_EQ(Slot(1)->StatsInterval, c.second) << c.first;
        EXPECT_EQ(Slot(2)->StatsInterval, c.second) << c.first;
    }
}

// A shipped configuration with mail switched on as its comments tell: the
// MAILSERVER= and MAILTO= lines without their ";".
std::string MailSwitchedOn(const std::string& file) {
    std::string ini = test::ReadFile(QUORVEL_SOURCE_DIR + file);
    for (const char* key : {"MAILSERVER=", "MAILTO="}) {
        const size_t at = ini.find(std::string("\n;") + key);
        if (at == std::string::npos) {
            ADD_FAILURE() << file << " has no commented " << key;
            continue;
        }
        ini.erase(at + 1, 1);
    }
    return ini;
}

// The configurations shipped (the repository's and the package's), through
// the real loader: what their comments promise is what a user gets once mail
// is switched on, and the examples do what their explanations say.
TEST_F(ConfigTest, BundledConfigurationMailsOnlyWhatItsCommentsPromise) {
    for (const char* file : {"/config/Quorvel.ini", "/packaging/Quorvel.ini"}) {
        SCOPED_TRACE(file);
        ASSERT_TRUE(Load(MailSwitchedOn(file)));
        ASSERT_NE(Slot(1), nullptr);
        EXPECT_EQ(Slot(1)->MailServer, "127.0.0.1");
        EXPECT_EQ(Slot(1)->MailToAddress, "ops@example.org");
        EXPECT_TRUE(Slot(1)->KeywordList.empty()) << "as shipped the block is empty";
        EXPECT_EQ(Slot(1)->StatsInterval, 0);
    }

    const std::string bundled = test::ReadFile(QUORVEL_SOURCE_DIR "/config/Quorvel.ini");
    const std::string eol = bundled.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string withMail = MailSwitchedOn("/config/Quorvel.ini");
    const struct {
        const char* example;
        const char* keyword;
        TKeywordAddrList addresses;
    } examples[] = {
        {"error", "error", {"ops@example.org"}},
        {"\"disk full\" ops@example.org admin@example.org", "disk full", {"ops@example.org", "admin@example.org"}},
        // What the comment warns of.
        {";error", ";error", {"ops@example.org"}},
    };
    const std::string blockStart = eol + "KEYWORDLISTSTART" + eol;
    ASSERT_NE(withMail.find(blockStart), std::string::npos);
    for (const auto& e : examples) {
        SCOPED_TRACE(e.example);
        if (e.example[0] != ';') {
            EXPECT_NE(bundled.find(eol + "; " + e.example + eol), std::string::npos)
                << "the example stands in the comments";
        }
        std::string used = withMail;
        used.insert(used.find(blockStart) + blockStart.size(), e.example + eol);
        ASSERT_TRUE(Load(used));
        ASSERT_EQ(Slot(1)->KeywordList.size(), 1u);
        EXPECT_EQ(Slot(1)->KeywordList[0].Keyword, e.keyword);
        EXPECT_EQ(Slot(1)->KeywordList[0].AddrList, e.addresses);
    }
}

}  // namespace
}  // namespace quorvel
