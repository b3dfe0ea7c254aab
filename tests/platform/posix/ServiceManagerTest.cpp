// The systemd unit written by an install, for program paths that a unit
// file cannot carry as they are. systemd-analyze, where installed, is the
// independent judge of whether systemd would load the unit.
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

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

TEST(ServiceManagerTest, UnitCarriesEveryProgramPathSystemdCanStartAndRefusesTheRest) {
    const test::TempFolder temp;
    const std::string root = temp.path().substr(0, temp.path().size() - 1);
    const std::string units = root + "/units";
    ASSERT_EQ(mkdir(units.c_str(), 0755), 0);
    setenv("QUORVEL_UNIT_DIR", units.c_str(), 1);
    const std::string unit = units + "/QuorvelTest.service";
    const bool haveAnalyzer = std::system("command -v systemd-analyze >/dev/null 2>&1") == 0;

    struct Case {
        const char* folder;    // bytes of the program's folder name
        const char* written;   // how ExecStart= must spell it; null: install refused
    } cases[] = {
        {"with blank", "with blank"},
        {"100%", "100%%"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},  // UTF-8 stays as it is
        {"\x83\x54\x81\x5B", "\\x83T\\x81["},                     // Shift_JIS is not UTF-8
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},                       // a UTF-16 surrogate
        {"a\"b", nullptr},
        {"a'b", nullptr},
        {"a\\b", nullptr},
        {"a\nb", nullptr},
        {"a\tb", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string folder = root + "/" + c.folder;
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ServiceEntry entry{"QuorvelTest", "Quorvel  Service", "Description", folder + "/quorvel", folder + "/logs",
                           "no-such-account-here"};
        test::WriteFile(entry.ProgramPath, "#!/bin/sh\n");
        ASSERT_EQ(chmod(entry.ProgramPath.c_str(), 0755), 0);

        ServiceManager& manager = *DefaultServiceEnvironment().Manager;
        const int result = manager.Install(entry);
        if (c.written == nullptr) {
            EXPECT_EQ(result, EINVAL);
            EXPECT_FALSE(Exists(unit));
        } else {
            ASSERT_EQ(result, 0);
            const std::string text = test::ReadFile(unit);
            const std::string line = "\nExecStart=\"" + root + "/" + c.written + "/quorvel\"\n";
            EXPECT_NE(text.find(line), std::string::npos) << text;
            // The one folder the confined service may write is there before its start.
            EXPECT_NE(text.find("\nReadWritePaths=\"" + root + "/" + c.written + "/logs\"\n"), std::string::npos) << text;
            EXPECT_TRUE(Exists(folder + "/logs"));
            // No such account: root, confined alike.
            EXPECT_EQ(text.find("\nUser="), std::string::npos) << text;
            if (haveAnalyzer) {
                // verify also checks that the program the unit names exists.
                const int status = std::system(("systemd-analyze verify --man=no " + unit).c_str());
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test::ReadFile(unit);
            }
            EXPECT_EQ(manager.Remove("QuorvelTest"), 0);
        }
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

    if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze";
    const test::TempFolder temp;
    struct Case {
        const char* name;
        std::string unit;
    } cases[] = {
        {"packaged", packaged},
        {"root", SystemdUnitText(entry, false)},
        {"home", SystemdUnitText({"QuorvelService", "Q", "", "/home/op/run/quorvel", "/home/op/run/logs", ""}, false)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = temp.path() + "QuorvelService.service";
        test::WriteFile(path, c.unit);
        const std::string out = temp.path() + "security.txt";
        const int status =
            std::system(("systemd-analyze security --offline=true " + path + " >" + out + " 2>&1").c_str());
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << test::ReadFile(out);
        const std::string report = test::ReadFile(out);
        const size_t at = report.find("Overall exposure level for QuorvelService.service: ");
        ASSERT_NE(at, std::string::npos) << report;
        const double exposure = std::atof(report.c_str() + at + 51);
        EXPECT_LT(exposure, 5.0) << report;
        EXPECT_GT(exposure, 0.0) << report;
    }
}

}  // namespace
}  // namespace quorvel::platform
