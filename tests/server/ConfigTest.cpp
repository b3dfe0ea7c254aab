// Quorvel.ini through the real loader: the settings each instance gets, the
// problems and notes it leaves for the start, and the log names accepted.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/QuorvelService.h"
#include "server/StartChecks.h"

namespace quorvel {
namespace {

using test::Sjis;

class ConfigTest : public ::testing::Test {
protected:
    void Load(const std::string& ini) { server.LoadConfigText(ini, dir.path()); }
    TSyslogService* Slot(int n) { return server.Services[static_cast<size_t>(n - 1)].get(); }
    static std::string Mail(const TSyslogService* s) {
        return s->Mail.MailServer + "|" + std::to_string(s->Mail.MailServerPort) + "|" + s->Mail.MailFromAddress + "|" +
               s->Mail.MailToAddress + "|" + s->Mail.MailSubject + "|" + std::to_string(s->Mail.MailServerSMTPAuth) + "|" +
               s->Mail.SMTPAuthID + "|" + s->Mail.SMTPAuthPass + "|" + std::to_string(s->Mail.KeywordList.size());
    }
    static std::string Settings(const TSyslogService* s) {
        return std::to_string(s->Files.LogType) + "|" + std::to_string(s->Files.LogRCode) + "|" +
               std::to_string(s->Mail.MailServerSMTPAuth) + "|" + std::to_string(s->Mail.MailTls) + "|" +
               (s->Mail.MailTlsVerify ? "verify|" : "trust|") + s->Mail.MailTlsCaFile + "|" + std::to_string(s->Mail.MailTimeout) +
               "|" + std::to_string(s->Mail.MailInterval) + "|" + std::to_string(s->Files.StatsInterval);
    }

    test::TempFolder dir;
    TSysLogServer server;
};

const char kDefaultMail[] = "127.0.0.1|25|||Quorvel warning|0|||0";

// A misspelt or unreadable value keeps the safe side: no TLS is never
// assumed to be TLS, only an explicit 0 turns the certificate check off, and
// an interval is off unless a positive number is given.
TEST_F(ConfigTest, WordAndNumberValues) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "0|0|0|0|verify||300|0|0"}, {"LOGTYPE=csv", "2|0|0|0|verify||300|0|0"},
        {"LOGTYPE=TAB\r\nRCODE=lf", "1|2|0|0|verify||300|0|0"}, {"RCODE=crlf \r\nSMTPAUTH=cram-md5", "0|0|1|0|verify||300|0|0"},
        {"LOGTYPE=text\r\nRCODE=CR\r\nSMTPAUTH=PLAIN", "0|1|0|0|verify||300|0|0"},
        {"SMTPTLS=starttls\r\nSMTPTLSVERIFY=0\r\nMAILTIMEOUT=60", "0|0|0|1|trust||60|0|0"},
        {"SMTPTLS=TLS\r\nSMTPTLSCAFILE=/etc/ca.pem\r\nMAILTIMEOUT=0", "0|0|0|2|verify|/etc/ca.pem|300|0|0"},
        {"SMTPTLS=SSL\r\nSMTPTLSVERIFY=no\r\nMAILTIMEOUT=-5\r\nSTATSINTERVAL=often", "0|0|0|0|verify||300|0|0"},
        {"MAILINTERVAL=60\r\nSTATSINTERVAL=60", "0|0|0|0|verify||300|60|60"},
        {"MAILINTERVAL=-5\r\nstatsinterval= 1 0", "0|0|0|0|verify||300|0|10"},
        {"MAILINTERVAL=soon\r\nSTATSINTERVAL=-5", "0|0|0|0|verify||300|0|0"},
    };
    for (const auto& c : cases) {
        Load(std::string("MAILSERVER=m\r\nMAILTO=t\r\nSYSLOGPORT2=600\r\n") + c.first + "\r\n");
        EXPECT_EQ(Settings(Slot(1)), c.second) << c.first;
        EXPECT_EQ(Slot(2)->Files.StatsInterval, Slot(1)->Files.StatsInterval) << c.first;
    }
}

TEST_F(ConfigTest, PortRules) {
    // 0: slot empty. A port that is no port is a start problem of both
    // instances; they stay, so that their operation logs can say so.
    const struct { std::string value; int32_t first; int32_t second; bool problem; } cases[] = {
        {"\t-1 ", 0, 0, false}, {"1", 514, 514, false}, {"2", 2, 2, false}, {"65534", 65534, 65534, false},
        {"65535", 514, 514, false}, {"0", 514, 514, false}, {"5 140", 5140, 5140, false}, {"", 514, 0, false},
        {"abc", 514, 514, true}, {"514 ;syslog", 514, 514, true}, {"65536", 514, 514, true},
        {"-2", 514, 514, true}, {"$FFFFFFFF", 514, 514, true}, {"0xFFFFFFFF", 514, 514, true},
    };
    for (const auto& c : cases) {
        Load("SYSLOGPORT=" + c.value + "\r\nSYSLOGPORT2=" + c.value + "\r\n");
        EXPECT_EQ(Slot(1) ? Slot(1)->Reception.SysLogPort : 0, c.first) << "'" << c.value << "'";
        EXPECT_EQ(Slot(2) ? Slot(2)->Reception.SysLogPort : 0, c.second) << "'" << c.value << "'";
        std::string problems;
        for (const TStartProblem& p : server.StartProblems) problems += p.Key + "=" + p.Value + ";";
        EXPECT_EQ(problems, c.problem ? "SYSLOGPORT=" + c.value + ";SYSLOGPORT2=" + c.value + ";" : "") << c.value;
    }
}

// Stream reception stays off unless asked for; a stream port or an allow-list
// entry that means nothing fails the start rather than open or close by guess.
TEST_F(ConfigTest, StreamKeysDefaultToOffAndBadValuesAreStartProblems) {
    const auto streams = [this](int n) {
        const TReceptionSettings& r = Slot(n)->Reception;
        return std::to_string(r.TcpPort) + "|" + std::to_string(r.TlsPort) + "|" + std::to_string(r.MaxConnections) +
               "|" + std::to_string(r.IdleTimeout) + "|" + (r.AllowedSenders.Empty() ? "everyone" : "listed") + "|" +
               r.TlsCertFile + "|" + r.TlsKeyFile + "|" + r.TlsClientCaFile;
    };
    const struct { std::string ini; std::string first; std::string problems; } cases[] = {
        {"", "0|0|100|0|everyone|||", ""},
        {"SYSLOGTCPPORT=601\r\nSYSLOGTLSPORT=6514\r\nTLSCERTFILE=/c.pem\r\nTLSKEYFILE=/k.pem\r\nTLSCLIENTCAFILE=/ca.pem\r\n"
         "TCPMAXCONNECTIONS=5\r\nTCPIDLETIMEOUT=60\r\nALLOWEDSENDERS=10.0.0.0/8, ::1",
         "601|6514|5|60|listed|/c.pem|/k.pem|/ca.pem", ""},
        {"SYSLOGTCPPORT=0\r\nTCPMAXCONNECTIONS=0\r\nTCPIDLETIMEOUT=-3", "0|0|100|0|everyone|||", ""},
        {"SYSLOGTCPPORT=tcp\r\nSYSLOGTLSPORT=70000\r\nALLOWEDSENDERS=10.0.0.1, intranet",
         "0|0|100|0|everyone|||", "SYSLOGTCPPORT=tcp;SYSLOGTLSPORT=70000;ALLOWEDSENDERS=intranet;"},
    };
    for (const auto& c : cases) {
        Load(c.ini + "\r\nSYSLOGPORT2=600\r\nSYSLOGTCPPORT2=602\r\n");
        EXPECT_EQ(streams(1), c.first) << c.ini;
        EXPECT_EQ(streams(2), "602|0|100|0|everyone|||") << c.ini;
        std::string problems;
        for (const TStartProblem& p : server.StartProblems) problems += p.Key + "=" + p.Value + ";";
        EXPECT_EQ(problems, c.problems) << c.ini;
    }
}

// Line ends are CR LF, CR or LF; values are Shift_JIS.
TEST_F(ConfigTest, KeysMatchAtLineStartInAnyCaseTheFirstCountsAndEachNumberIsItsOwnKey) {
    Load(" SYSLOGPORT2=700\r\nSYSLOGPORT1=800\r\nsyslogport=600\r\nSYSLOGPORT=601\r\n"
         "SysLogPort3=900\rSERVERIPADDRESS3=127.0.0.2\nSYSLOGLOGNAME3=op3.log\r\n"
         "LOGTYPE=tab\r\nCNVCTRLCODE=" + Sjis(u8"ホ") + "a\r\n");
    const auto where = [this](int n) {
        const TSyslogService* s = Slot(n);
        return std::to_string(s->Reception.SysLogPort) + "|" + s->Reception.ServerIPAddress + "|" + s->Files.SystemLogName +
               "|" + std::to_string(s->Files.LogType) + "|" + s->Files.CnvCtrlCode;
    };
    // Upper-casing leaves the trail byte of ホ ('z') alone.
    EXPECT_EQ(where(1), "600||Quorvel.log|1|" + Sjis(u8"ホ") + "A");
    EXPECT_EQ(Slot(2), nullptr);
    ASSERT_NE(Slot(3), nullptr);
    EXPECT_EQ(where(3), "900|127.0.0.2|op3.log|0|" + Sjis(u8"ホ") + "A");
}

const char kMailIni[] =
    "MAILSERVERPORT=2 6\r\nMAILFROM=from@example.org\r\nSMTPAUTH=LOGIN\r\nSMTPAUTHID=id\r\n"
    "SMTPAUTHPASS= p w \r\nSYSLOGPORT4=1514\r\n"
    "KEYWORDLISTSTART\r\nerror\r\n\"disk full\" a@x, b@x\r\n  ,  \r\ndisk full\r\nKEYWORDLISTEND\r\nlate\r\n";

TEST_F(ConfigTest, MailSettingsAndKeywordsNeedBothServerAndRecipient) {
    const std::string applied = "smtp|26|from@example.org|ops@x|Quorvel Warning|2|id| p w |3";
    const std::pair<std::string, std::string> cases[] = {
        {"MAILSERVER=smtp\r\nMAILTO=ops@x\r\n", applied},
        {"MAILSERVER=smtp\r\nMAILTO=\r\nMAILTO=ops@x\r\n", kDefaultMail},
        {"MAILTO=ops@x\r\n", kDefaultMail},
        {"MAILSERVER=smtp\r\nMAILTO=ops@x\r\nMAILSUBJECT=\r\n", "smtp|26|from@example.org|ops@x||2|id| p w |3"},
    };
    for (const auto& c : cases) {
        Load(c.first + kMailIni);
        EXPECT_EQ(Mail(Slot(1)), c.second) << c.first;
        ASSERT_NE(Slot(4), nullptr);
        EXPECT_EQ(Mail(Slot(4)), c.second) << c.first;
    }
    // Unquoted, the second word becomes an address.
    ASSERT_EQ(Slot(1)->Mail.KeywordList.size(), 3u);
    EXPECT_EQ(Slot(1)->Mail.KeywordList[2].Keyword, "disk");
    EXPECT_EQ(Slot(1)->Mail.KeywordList[2].AddrList, TKeywordAddrList{"full"});
    Load("MAILSERVER=s\r\nMAILTO=t\r\nkeywordlistend\r\nKEYWORDLISTSTART\r\nerror\r\n");
    EXPECT_TRUE(Slot(1)->Mail.KeywordList.empty());
}

// The configurations shipped (the repository's and the package's), with mail
// switched on as their comments tell (";" taken off MAILSERVER= and MAILTO=):
// they mail only what the comments promise, and the examples do what their
// explanations say.
TEST_F(ConfigTest, BundledConfigurationMailsOnlyWhatItsCommentsPromise) {
    for (const std::string file : {"/config/Quorvel.ini", "/packaging/Quorvel.ini"}) {
        SCOPED_TRACE(file);
        const std::string shipped = test::ReadFile(QUORVEL_SOURCE_DIR + file);
        std::string ini = shipped;
        for (const char* key : {"\n;MAILSERVER=", "\n;MAILTO="}) {
            ASSERT_NE(ini.find(key), std::string::npos) << key;
            ini.erase(ini.find(key) + 1, 1);
        }
        Load(ini);
        EXPECT_EQ(Slot(1)->Mail.MailServer + "|" + Slot(1)->Mail.MailToAddress, "127.0.0.1|ops@example.org");
        EXPECT_TRUE(Slot(1)->Mail.KeywordList.empty()) << "as shipped the block is empty";
        EXPECT_EQ(Slot(1)->Files.StatsInterval, 0);
        if (file != "/config/Quorvel.ini") continue;  // the examples stand in this one
        const std::string eol = shipped.find("\r\n") != std::string::npos ? "\r\n" : "\n";
        const std::string blockStart = eol + "KEYWORDLISTSTART" + eol;
        ASSERT_NE(ini.find(blockStart), std::string::npos);
        const struct { std::string example, keyword; TKeywordAddrList addresses; } examples[] = {
            {"error", "error", {"ops@example.org"}},
            {"\"disk full\" ops@example.org admin@example.org", "disk full", {"ops@example.org", "admin@example.org"}},
            {";error", ";error", {"ops@example.org"}},  // what the comment warns of
        };
        for (const auto& e : examples) {
            EXPECT_TRUE(e.example[0] == ';' || shipped.find(eol + "; " + e.example + eol) != std::string::npos)
                << e.example << " stands in the comments";
            Load(std::string(ini).insert(ini.find(blockStart) + blockStart.size(), e.example + eol));
            ASSERT_EQ(Slot(1)->Mail.KeywordList.size(), 1u) << e.example;
            EXPECT_EQ(Slot(1)->Mail.KeywordList[0].Keyword, e.keyword);
            EXPECT_EQ(Slot(1)->Mail.KeywordList[0].AddrList, e.addresses);
        }
    }
}

TEST(StartChecks, LogNamesStayInsideTheLogsFolder) {
    // ソ ends in the byte of a backslash: no separator, no ".." part.
    const std::string inside[] = {"Quorvel.log", "%y-%m-syslog.log", "sub/op.log", "a..b.log",
                                  Sjis(u8"ソ") + "..", Sjis(u8"表") + "\\x.log", "a/..\x81"};
    const std::string outside[] = {"..\x81/..", "", "/var/log/x.log", "\\\\server\\x.log", "C:x.log", "..", ".",
                                   "../../x", "a/../../x", "a\\..\\x", "sub/", "a//b", "./x"};
    for (const std::string& name : inside) EXPECT_TRUE(LogNameStaysInside(name)) << name;
    for (const std::string& name : outside) EXPECT_FALSE(LogNameStaysInside(name)) << name;
}

}  // namespace
}  // namespace quorvel
