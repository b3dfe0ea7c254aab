// The systemd unit written by an install, for program paths that a unit
// file cannot carry as they are. systemd-analyze is the independent judge of
// whether systemd would load the unit, and of how confined it runs.
#include "platform/ServiceManager.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "TestFiles.h"
#include "platform/ServiceEnvironment.h"
#include "platform/posix/SystemdUnit.h"
#include "server/ServerTexts.h"

namespace quorvel::platform {
namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// 0 when the command ran and succeeded.
int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ServiceManagerTest, UnitCarriesEveryProgramPathSystemdCanStartAndRefusesTheRest) {
    const test::TempFolder temp;
    const std::string root = temp.path().substr(0, temp.path().size() - 1);
    const std::string units = root + "/units", unit = units + "/QuorvelTest.service";
    ASSERT_EQ(mkdir(units.c_str(), 0755), 0);
    setenv("QUORVEL_UNIT_DIR", units.c_str(), 1);
    struct Case {
        const char* folder;    // bytes of the program's folder name
        const char* written;   // how ExecStart= must spell it; null: install refused
        const char* account;   // the unit's User= line, when the account exists
    } cases[] = {
        {"with blank", "with blank", "root"},
        {"100%", "100%%", "no-such-account-here"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC", ""},  // UTF-8 stays as it is
        {"\x83\x54\x81\x5B", "\\x83T\\x81[", ""},                      // Shift_JIS is not UTF-8
        {"\xED\xA0\x80", "\\xed\\xa0\\x80", ""},                       // a UTF-16 surrogate
        {"a\"b", nullptr, ""},
        {"a'b", nullptr, ""},
        {"a\\b", nullptr, ""},
        {"a\nb", nullptr, ""},
        {"a\tb", nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string folder = root + "/" + c.folder;
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ServiceEntry entry{"QuorvelTest", "Quorvel  Service", "Description", folder + "/quorvel", folder + "/logs",
                           c.account};
        test::WriteFile(entry.ProgramPath, "#!/bin/sh\n");
        ASSERT_EQ(chmod(entry.ProgramPath.c_str(), 0755), 0);
        ServiceManager& manager = *DefaultServiceEnvironment().Manager;
        if (c.written == nullptr) {
            EXPECT_EQ(manager.Install(entry), EINVAL);
            EXPECT_FALSE(Exists(unit));
            continue;
        }
        ASSERT_EQ(manager.Install(entry), 0);
        const std::string text = test::ReadFile(unit), at = root + "/" + c.written;
        EXPECT_NE(text.find("\nExecStart=\"" + at + "/quorvel\"\n"), std::string::npos) << text;
        // The one folder the confined service may write is there before its start.
        EXPECT_NE(text.find("\nReadWritePaths=\"" + at + "/logs\"\n"), std::string::npos) << text;
        EXPECT_TRUE(Exists(folder + "/logs"));
        // No such account: root, confined alike.
        EXPECT_EQ(text.find("\nUser=") != std::string::npos, c.account == std::string("root")) << text;
        // verify also checks that the program the unit names exists.
        EXPECT_EQ(Shell("systemd-analyze verify --man=no " + unit), 0) << text;
        EXPECT_EQ(manager.Remove("QuorvelTest"), 0);
    }
    unsetenv("QUORVEL_UNIT_DIR");
}

// The Debian package ships the unit that an install of /opt/quorvel/quorvel
// writes when its account exists: one hardening, whichever way the service
// was installed.
TEST(ServiceManagerTest, PackagedUnitIsTheInstalledOneAndSystemdRatesItConfined) {
    const ServiceEntry entry{"QuorvelService", texts::kServiceDisplayName,
                             std::string(texts::kServiceDescription) + "/opt/quorvel/", "/opt/quorvel/quorvel",
                             "/opt/quorvel/logs", "quorvel"};
    const std::string packaged = test::ReadFile(QUORVEL_SOURCE_DIR "/packaging/QuorvelService.service");
    EXPECT_EQ(SystemdUnitText(entry, true), packaged);
    const test::TempFolder temp;
    const std::string path = temp.path() + "QuorvelService.service", out = temp.path() + "security.txt";
    for (const std::string& unit :
         {packaged, SystemdUnitText(entry, false),
          SystemdUnitText({"QuorvelService", "Q", "", "/home/op/quorvel", "/home/op/logs", ""},
                          false)}) {
        test::WriteFile(path, unit);
        ASSERT_EQ(Shell("systemd-analyze security --offline=true " + path + " >" + out + " 2>&1"),
                  0)
            << test::ReadFile(out);
        const std::string report = test::ReadFile(out), label = "Overall exposure level for QuorvelService.service: ";
        const size_t at = report.find(label);
        ASSERT_NE(at, std::string::npos) << report;
        const double exposure = std::atof(report.c_str() + at + label.size());
        EXPECT_GT(exposure, 0.0) << unit;
        EXPECT_LT(exposure, 5.0) << report;
    }
}

}  // namespace
}  // namespace quorvel::platform
