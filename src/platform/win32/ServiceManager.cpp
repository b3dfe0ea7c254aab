#include "platform/ServiceManager.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform/UniqueHandle.h"
#include "platform/Backends.h"
#include "platform/win32/Console.h"

namespace quorvel::platform {

namespace {

using ServiceHandle = UniqueHandle<HandleTraits<SC_HANDLE, 0, &CloseServiceHandle>>;

// The longest description the service manager keeps.
constexpr size_t kDescriptionBytes = 254;

// Windows NT 4 has no ChangeServiceConfig2A: look it up rather than link it,
// and install without a description where it is missing.
using ChangeServiceConfig2Fn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);

void SetDescription(SC_HANDLE service, const std::string& description) {
    if (description.empty()) return;
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi == nullptr) return;
    auto change = reinterpret_cast<ChangeServiceConfig2Fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "ChangeServiceConfig2A")));
    if (change == nullptr) return;
    // The host has already cut the text at a character boundary, this only
    // guards the buffer.
    char buffer[kDescriptionBytes + 1] = {};
    std::memcpy(buffer, description.data(), std::min(description.size(), kDescriptionBytes));
    SERVICE_DESCRIPTIONA info{buffer};
    change(service, SERVICE_CONFIG_DESCRIPTION, &info);  // the result is of no consequence
}

// True when a message box could be answered. A service's own window station
// is invisible, and under Wine's null graphics driver (a build machine
// without a display) no one can ever press the button: there the box would
// hold the program for good, so the console text has to do.
bool CanShowMessageBox() {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    HWINSTA station = GetProcessWindowStation();
    if (station == nullptr || !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed) ||
        (flags.dwFlags & WSF_VISIBLE) == 0) {
        return false;
    }
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr) return true;
    char driver[64] = {};
    DWORD size = sizeof driver - 1;
    if (RegGetValueA(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Graphics", RRF_RT_REG_SZ, nullptr, driver,
                     &size) != ERROR_SUCCESS) {
        return true;
    }
    return _stricmp(driver, "null") != 0;
}

// The service manager runs the image path as a command line. Unquoted, a
// path with a blank is tried piece by piece ("C:\Program.exe" before
// "C:\Program Files\..."), so whoever can write such a file runs it as the
// local system account; quoted, only the program itself is started.
std::string ImagePath(const std::string& programPath) {
    if (programPath.find_first_of(" \t") == std::string::npos) return programPath;
    return "\"" + programPath + "\"";
}

class WindowsServiceManager final : public ServiceManager {
public:
    int Install(const ServiceEntry& entry) override {
        ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager.Valid()) return static_cast<int>(GetLastError());
        // Own process, automatic start, errors ignored, local system account
        // (no account name, empty password), no group, no dependencies.
        ServiceHandle service(CreateServiceA(manager.Get(), entry.ServiceName.c_str(), entry.DisplayName.c_str(),
                                             SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                             SERVICE_ERROR_IGNORE, ImagePath(entry.ProgramPath).c_str(), "", nullptr,
                                             "\0", nullptr, ""));
        if (!service.Valid()) return static_cast<int>(GetLastError());
        SetDescription(service.Get(), entry.Description);
        return 0;
    }

    int Remove(const std::string& serviceName) override {
        ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager.Valid()) return static_cast<int>(GetLastError());
        ServiceHandle service(OpenServiceA(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
        if (!service.Valid()) return static_cast<int>(GetLastError());
        if (!DeleteService(service.Get())) return static_cast<int>(GetLastError());
        return 0;
    }

    void ShowError(const std::string& caption, const std::string& text) override {
        // The console line too: a script that runs -INSTALL reads no boxes.
        win32::WriteError(caption + ": " + text + "\n");
        if (CanShowMessageBox()) MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
    }
};

}  // namespace

ServiceManager& ServiceManagerInstance() {
    static WindowsServiceManager manager;
    return manager;
}

}  // namespace quorvel::platform
