// The SMTP password sits in Quorvel.ini: a file anyone may read is worth a
// warning at start. File modes are POSIX's; Windows leaves the check out.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "SjisReference.h"
#include "TestFiles.h"
#include "server/QuorvelService.h"

namespace quorvel {
namespace {

using test::Sjis;

TEST(IniAccess, APasswordInAFileOthersMayReadIsWarnedAbout) {
    test::TempFolder dir;
    TSysLogServer server;
    const std::string warning = Sjis(u8"SMTPAUTHPASS を含む設定ファイルを他のユーザーが読めます: ") + dir.path() + "Quorvel.ini";
    const struct {
        std::string ini;
        mode_t mode;
        bool warned;
    } cases[] = {
        {"SMTPAUTHPASS=secret\r\n", 0644, true},
        {"SMTPAUTHPASS=secret\r\n", 0640, false},
        {"SMTPAUTHID=user\r\n", 0644, false},
    };
    for (const auto& c : cases) {
        test::WriteFile(dir.path() + "Quorvel.ini", c.ini);
        ASSERT_EQ(chmod((dir.path() + "Quorvel.ini").c_str(), c.mode), 0);
        ASSERT_TRUE(server.LoadConfig(dir.path()));
        const auto& notes = server.ConfigNotes;
        EXPECT_EQ(std::find(notes.begin(), notes.end(), warning) != notes.end(), c.warned) << c.ini;
    }
}

}  // namespace
}  // namespace quorvel
