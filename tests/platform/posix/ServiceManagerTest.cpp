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

#include <memory>
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

// A folder for programs to install from: not under /tmp, which the unit hides.
struct InstallFolder {
    InstallFolder() {
        // Beside the binary, unless the checkout lies where the unit's own
        // sandbox hides it (a clone under /tmp): then in the home folder.
        const std::string binary = QUORVEL_BINARY;
        std::string parent = binary.substr(0, binary.rfind('/'));
        for (const char* hidden : {"/tmp/", "/var/tmp/", "/dev/"}) {
            if (parent.rfind(hidden, 0) == 0 && getenv("HOME") != nullptr) parent = getenv("HOME");
        }
        temp = std::make_unique<test::TempFolder>(parent);
        root = temp->path().substr(0, temp->path().size() - 1), units = root + "/units";
        mkdir(units.c_str(), 0755);
        setenv("QUORVEL_UNIT_DIR", units.c_str(), 1);
    }
    ~InstallFolder() { unsetenv("QUORVEL_UNIT_DIR"); }
    std::unique_ptr<test::TempFolder> temp;
    std::string root, units;
};

TEST(ServiceManagerTest, UnitCarriesEveryProgramPathSystemdCanStartAndRefusesTheRest) {
    const InstallFolder install;
    const std::string& root = install.root;
    const std::string unit = install.units + "/QuorvelTest.service";
    struct Case {
        const char* folder;    // bytes of the program's folder name
        const char* written;   // how ExecStart= must spell it; null: install refused
    } cases[] = {
        {"with blank", "with blank"},
        {"100%", "100%%"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},  // UTF-8 stays as it is
        {"\x83\x54\x81\x5B", "\\x83T\\x81["},                      // Shift_JIS is not UTF-8
        {"\xED\xA0\x80", "\\xed\\xa0\\x80"},                       // a UTF-16 surrogate
        {"a\"b", nullptr}, {"a'b", nullptr}, {"a\\b", nullptr}, {"a\nb", nullptr}, {"a\tb", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        const std::string folder = root + "/" + c.folder;
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        // root: an account every machine has.
        ServiceEntry entry{"QuorvelTest", "Quorvel  Service", "Description", folder + "/quorvel", folder + "/logs", "root"};
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
        EXPECT_NE(text.find("\nUser=root\n"), std::string::npos) << text;
        // verify also checks that the program the unit names exists.
        EXPECT_EQ(Shell("systemd-analyze verify --man=no " + unit), 0) << text;
        EXPECT_EQ(manager.Remove("QuorvelTest"), 0);
    }
}

// A unit that could never start its program, or that would run it as root
// for want of its account, is not written; standard error says why.
TEST(ServiceManagerTest, InstallRefusesAProgramTheSandboxHidesAndAMissingAccount) {
    const InstallFolder install;
    const test::TempFolder underTmp;  // the system's /tmp
    const std::string tmpFolder = underTmp.path().substr(0, underTmp.path().size() - 1);
    const std::string here = install.root + "/quorvel";
    struct Case {
        std::string program, data, account;
        int error;
        std::string said;
    } cases[] = {
        {tmpFolder + "/quorvel", tmpFolder + "/logs", "root", EINVAL,
         "the folder " + tmpFolder + " is under /tmp, which the service's unit hides from the service (PrivateTmp=yes)"},
        {"/var/tmp/q/quorvel", "/var/tmp/q/logs", "root", EINVAL, "the folder /var/tmp/q is under /var/tmp"},
        {here, "/dev/shm/logs", "root", EINVAL, "the folder /dev/shm/logs is under /dev"},
        // Only the folder /tmp itself, not every name that starts alike.
        {"/tmpx/quorvel", "", "no-such-account-here", ENOENT,
         "the account no-such-account-here that the service runs as does not exist; make it first: useradd "
         "--system --user-group --home-dir /tmpx --no-create-home"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program + " " + c.data);
        testing::internal::CaptureStderr();
        const int error = DefaultServiceEnvironment().Manager->Install({"QuorvelTest", "Q", "", c.program, c.data, c.account});
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(said.rfind("quorvel: cannot install: " + c.said, 0), 0u) << said;
        EXPECT_FALSE(Exists(install.units + "/QuorvelTest.service"));
        EXPECT_TRUE(c.data.empty() || !Exists(c.data));
    }
}

// The Debian package ships the unit that an install of /opt/quorvel/quorvel
// writes when its account exists: one hardening, whichever way the service
// was installed.
TEST(ServiceManagerTest, PackagedUnitIsTheInstalledOneAndSystemdRatesItConfined) {
    const ServiceEntry entry{"QuorvelService", texts::kServiceDisplayName,
                             std::string(texts::kServiceDescription) + "/opt/quorvel/", "/opt/quorvel/quorvel",
                             "/opt/quorvel/logs", "quorvel"};
    const std::string packaged = test::ReadFile(QUORVEL_SOURCE_DIR "/packaging/QuorvelService.service");
    EXPECT_EQ(SystemdUnitText(entry), packaged);
    const test::TempFolder temp;
    const std::string path = temp.path() + "QuorvelService.service", out = temp.path() + "security.txt";
    for (const std::string& unit :
         {packaged, SystemdUnitText({"QuorvelService", "Q", "", "/home/op/quorvel", "/home/op/logs", "op"})}) {
        test::WriteFile(path, unit);
        const int status = Shell("systemd-analyze security --offline=true " + path + " >" + out + " 2>&1");
        const std::string report = test::ReadFile(out), label = "Overall exposure level for QuorvelService.service: ";
        ASSERT_EQ(status, 0) << report;
        const size_t at = report.find(label);
        ASSERT_NE(at, std::string::npos) << report;
        const double exposure = std::atof(report.c_str() + at + label.size());
        EXPECT_GT(exposure, 0.0) << unit;
        EXPECT_LT(exposure, 5.0) << report;
    }
}

}  // namespace
}  // namespace quorvel::platform
