// What the start checks before anything listens: log names, log files, and
// the notes on ini lines that change nothing.
#include "server/StartChecks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/QuorvelService.h"

namespace quorvel {
namespace {

using test::Sjis;

TEST(StartChecks, LogNamesStayInsideTheLogsFolder) {
    const struct {
        std::string name;
        bool inside;
    } cases[] = {
        {"Quorvel.log", true}, {"%y-%m-syslog.log", true}, {"sub/op.log", true}, {"a..b.log", true},
        // ソ ends in the byte of a backslash: no separator, no ".." part.
        {Sjis(u8"ソ") + "..", true}, {Sjis(u8"表") + "\\x.log", true}, {"a/..\x81", true}, {"..\x81/..", false},
        {"", false}, {"/var/log/x.log", false}, {"\\\\server\\x.log", false}, {"C:x.log", false},
        {"..", false}, {".", false}, {"../../x", false}, {"a/../../x", false}, {"a\\..\\x", false},
        {"sub/", false}, {"a//b", false}, {"./x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(LogNameStaysInside(c.name), c.inside) << c.name;
}

TEST(StartChecks, LogFilesThatDoNotOpenAreProblemsWithTheirKeyAndCode) {
    test::TempFolder dir;
    TSyslogService service;
    service.LogsFolder = dir.path();
    std::filesystem::create_directory(dir.path() + "folder");
    service.SystemLogName = "folder";
    service.RecvLogName = "../outside.log";
    std::vector<TStartProblem> problems;
    CheckLogFiles(3, service, problems);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].Key, "SYSLOGLOGNAME3");
    EXPECT_NE(problems[0].Error, 0);  // the system's code for a folder
    EXPECT_EQ(problems[1].Key, "RECVLOGNAME3");
    EXPECT_EQ(problems[1].Error, 0);
    EXPECT_EQ(StartProblemText(problems[1]).find("Syslog[3] RECVLOGNAME3=../outside.log: "),
              Sjis(u8"設定に誤りがあるためサービスを開始できません: ").size());

    service.SystemLogName = "op.log";
    service.RecvLogName = "recv.log";
    problems.clear();
    CheckLogFiles(1, service, problems);
    EXPECT_TRUE(problems.empty());
    // Created at once, empty, with the rights of every later line.
    EXPECT_EQ(std::filesystem::file_size(dir.path() + "recv.log"), 0u);
}

class ConfigNotesTest : public ::testing::Test {
protected:
    std::vector<std::string> Notes(const std::string& ini) {
        test::WriteFile(dir.path() + "Quorvel.ini", ini);
        EXPECT_TRUE(server.LoadConfig(dir.path()));
        return server.ConfigNotes;
    }
    static std::string Note(const char* utf8, const std::string& detail, int line) {
        return Sjis(utf8) + detail + " (" + Sjis(u8"行 ") + std::to_string(line) + ")";
    }
    test::TempFolder dir;
    TSysLogServer server;
};

TEST_F(ConfigNotesTest, LinesThatChangeNothingAreNotedWithTheirLineNumber) {
    const std::string unknown = u8"設定ファイルの不明なキーを無視しました: ";
    const std::string pastTenth = u8"11 番目以降のインスタンスの設定は使われません: ";
    const std::string open = u8"KEYWORDLISTEND がないため、これ以降のすべての行をキーワードとして読みました: ";
    const struct {
        std::string ini;
        std::vector<std::string> notes;
    } cases[] = {
        {"SYSLOGPORT=5140\r\n; a comment = not a key\r\n# also\r\n\r\nplain words\r\nMAILSUBJECT=x\r\n", {}},
        // Instance keys up to the tenth are read keys.
        {"SYSLOGPORT2=600\r\nRECVLOGNAME10=x\r\nLOGTYPE3=CSV\r\n", {}},
        {"SYSLOGPORTS=1\r\n SYSLOGPORT=2\r\nSYSLOGPORT1=3\r\nSMTPAUTHPASSWORD=secret\r\n",
         {Note(unknown.c_str(), "SYSLOGPORTS", 1), Note(unknown.c_str(), " SYSLOGPORT", 2),
          Note(unknown.c_str(), "SYSLOGPORT1", 3), Note(unknown.c_str(), "SMTPAUTHPASSWORD", 4)}},
        {"SYSLOGPORT11=5140\r\nRECVLOGNAME12=x\r\nLOGTYPE100=TAB\r\n",
         {Note(pastTenth.c_str(), "SYSLOGPORT11", 1), Note(pastTenth.c_str(), "RECVLOGNAME12", 2),
          Note(pastTenth.c_str(), "LOGTYPE100", 3)}},
        {"KEYWORDLISTSTART\r\nerror=1\r\nKEYWORDLISTEND\r\nBOGUS=1\r\n", {Note(unknown.c_str(), "BOGUS", 4)}},
        {"SYSLOGPORT=5140\r\nkeywordliststart\r\nerror\r\nMAILTO=a@b\r\n", {Note(open.c_str(), "KEYWORDLISTSTART", 2)}},
    };
    for (const auto& c : cases) EXPECT_EQ(Notes(c.ini), c.notes) << c.ini;
}

}  // namespace
}  // namespace quorvel
