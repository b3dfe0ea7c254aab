// The Windows service manager backends against the running system's service
// control manager (Wine's in the test run): entries, error codes, the
// dispatcher outside the manager, and error reports that never block.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/ServiceEnvironment.h"

namespace quorvel::platform {
namespace {

std::string UniqueName() { return "QuorvelTest" + std::to_string(GetCurrentProcessId()); }

struct EntryFacts {
    bool Found = false;
    std::string DisplayName, Path, Description;
    DWORD Type = 0, Start = 0, ErrorControl = 0;
    std::string Account;
};

EntryFacts ReadEntry(const std::string& name) {
    EntryFacts facts;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return facts;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        facts.Found = true;
        alignas(8) char buffer[8192];
        DWORD needed = 0;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
        if (QueryServiceConfigA(service, config, sizeof buffer, &needed)) {
            facts.DisplayName = config->lpDisplayName ? config->lpDisplayName : "";
            facts.Path = config->lpBinaryPathName ? config->lpBinaryPathName : "";
            facts.Account = config->lpServiceStartName ? config->lpServiceStartName : "";
            facts.Type = config->dwServiceType;
            facts.Start = config->dwStartType;
            facts.ErrorControl = config->dwErrorControl;
        }
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer);
        if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, reinterpret_cast<BYTE*>(buffer), sizeof buffer,
                                 &needed) &&
            description->lpDescription != nullptr) {
            facts.Description = description->lpDescription;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return facts;
}

TEST(Win32ServiceManagerTest, InstallOnceRemoveOnceWithTheSystemsErrorCodes) {
    ServiceManager& manager = *DefaultServiceEnvironment().Manager;
    ServiceEntry entry;
    entry.ServiceName = UniqueName();
    entry.DisplayName = "Quorvel  Test";  // two blanks, kept as they are
    entry.Description = "Receives syslog \x83\x65\x83\x58\x83\x67";  // "テスト" in Shift_JIS
    entry.ProgramPath = "C:\\Program Files\\Quorvel\\quorvel.exe";
    manager.Remove(entry.ServiceName);  // left over from an aborted run

    ASSERT_EQ(manager.Install(entry), 0);
    const EntryFacts facts = ReadEntry(entry.ServiceName);
    ASSERT_TRUE(facts.Found);
    EXPECT_EQ(facts.DisplayName, entry.DisplayName);
    EXPECT_EQ(facts.Path, entry.ProgramPath);
    EXPECT_EQ(facts.Type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(facts.Start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(facts.ErrorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
    EXPECT_EQ(facts.Account, "LocalSystem");
    EXPECT_EQ(facts.Description, entry.Description);

    // A second install leaves the entry alone and names the reason.
    ServiceEntry other = entry;
    other.ProgramPath = "C:\\elsewhere.exe";
    EXPECT_EQ(manager.Install(other), ERROR_SERVICE_EXISTS);
    EXPECT_EQ(ReadEntry(entry.ServiceName).Path, entry.ProgramPath);

    EXPECT_EQ(manager.Remove(entry.ServiceName), 0);
    EXPECT_FALSE(ReadEntry(entry.ServiceName).Found);
    EXPECT_EQ(manager.Remove(entry.ServiceName), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(Win32ServiceManagerTest, ErrorReportReturnsWhereNoOneCanAnswerABox) {
    // Under Wine's null graphics driver a message box would wait for ever.
    const auto start = std::chrono::steady_clock::now();
    DefaultServiceEnvironment().Manager->ShowError("Quorvel  Test", "test report (Error code 1073)");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(Win32ServiceControlTest, DispatcherOutsideTheManagerFailsWith1063) {
    bool mainRan = false;
    const std::function<void()> serviceMain = [&] { mainRan = true; };
    const ControlHandler handler = [](int) {};
    SetLastError(0);
    const int error = DefaultServiceEnvironment().Control->RunDispatcher("QuorvelTest", serviceMain, handler);
    EXPECT_EQ(error, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(error, kErrorNotStartedByServiceManager);
    // The host reads the code of its event from the thread's last error.
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_FALSE(mainRan);
}

TEST(Win32ServiceControlTest, StatusReporterNeedsTheManager) {
    int error = 0;
    auto reporter = DefaultServiceEnvironment().Control->OpenStatusReporter("QuorvelTest", error);
    EXPECT_EQ(reporter, nullptr);
    EXPECT_NE(error, 0);
}

}  // namespace
}  // namespace quorvel::platform
