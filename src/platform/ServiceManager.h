#pragma once
// Installing and removing the service entry. Main thread only.

#include <string>

namespace quorvel::platform {

struct ServiceEntry {
    std::string ServiceName;
    std::string DisplayName;   // Shift_JIS
    std::string Description;   // Shift_JIS, may hold CR LF
    std::string ProgramPath;   // full path, no quotes, no arguments
    // Where a confined service may write (its logs); full path, made on
    // install when missing. Empty: nowhere.
    std::string DataFolder;
    // The system user the service runs as (systemd): an install refuses
    // when it does not exist, rather than run the server as root. Windows
    // runs the service as its own system account.
    std::string AccountName;
};

class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    // 0, or the system error code (an existing entry is a failure).
    virtual int Install(const ServiceEntry& entry) = 0;
    // 0, or the system error code (a missing entry is a failure).
    virtual int Remove(const std::string& serviceName) = 0;
    // Tells the user about a failed install or remove (a message box on
    // Windows, standard error elsewhere). Texts are Shift_JIS.
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;
};

}  // namespace quorvel::platform
