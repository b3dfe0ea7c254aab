#include "platform/ServiceManager.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Console.h"
#include "platform/Folders.h"
#include "platform/TextEncoding.h"
#include "platform/Backends.h"
#include "platform/posix/BrokenPipe.h"
#include "platform/posix/SystemdUnit.h"
#include "platform/posix/UniqueFd.h"
#include "platform/posix/WriteAll.h"

extern char** environ;

namespace quorvel::platform {

namespace {

const char kDefaultUnitDir[] = "/etc/systemd/system";

// A unit folder given by the environment is a test's or a packager's: the
// running systemd is not told about units that live there.
std::string UnitDir(bool& isSystemDir) {
    const char* dir = getenv("QUORVEL_UNIT_DIR");
    isSystemDir = !(dir && *dir);
    return isSystemDir ? kDefaultUnitDir : dir;
}

bool SystemdRunning() {
    struct stat st {};
    return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// 0, the command's exit status, or an errno value when it could not be run.
int RunSystemctl(const std::vector<std::string>& args) {
    std::vector<std::string> all{"systemctl"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "systemctl", nullptr, nullptr, argv.data(), environ);
    if (rc != 0) return rc;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return ECHILD;
}

// systemd expands "%" specifiers in most unit settings.
std::string EscapePercent(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// One line for Description=: line breaks and other control bytes become
// single blanks, so the setting cannot spill into a line of its own.
std::string OneLine(const std::string& utf8) {
    std::string out;
    bool blank = false;
    for (unsigned char c : utf8) {
        if (c < 0x20 || c == 0x7F) {
            if (!blank && !out.empty()) out += ' ';
            blank = true;
            continue;
        }
        out += static_cast<char>(c);
        blank = false;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\\')) out.pop_back();
    return out;
}

// systemd refuses an executable name with control bytes, quotes or
// backslashes however they are escaped ("Executable name contains special
// characters"), and a relative one: no unit can start such a program.
bool ExecPathAccepted(const std::string& path) {
    if (path.empty() || path[0] != '/') return false;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\'' || c == '\\') return false;
    }
    return true;
}

// Length of the UTF-8 sequence that starts at text[i] when systemd takes it
// as valid (shortest form, no surrogate, no noncharacter, at most U+10FFFF);
// 0 otherwise.
size_t Utf8Length(const std::string& text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead >= 0xF8 || i + length > text.size()) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    const uint32_t shortest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < shortest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if ((code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE) return 0;
    return length;
}

// ExecStart= splits at blanks, so the path is quoted. systemd ignores a line
// that is not UTF-8 clean, but a path on Linux is any bytes (a folder named
// in Shift_JIS, say): such bytes are written as C escapes, which systemd
// turns back into the very bytes inside quotes.
std::string QuoteExecPath(const std::string& path) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < path.size();) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t length = Utf8Length(path, i)) {
            out.append(path, i, length);
            i += length;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
            ++i;
        }
    }
    out += '"';
    return EscapePercent(out);
}

// A home folder made inaccessible would hide a program installed from a
// checkout there; read-only still keeps it from being changed.
bool UnderHome(const std::string& path) {
    for (const char* prefix : {"/home/", "/root/", "/run/user/"}) {
        if (path.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace

std::string SystemdUnitText(const ServiceEntry& entry) {
    std::string description = OneLine(SjisToUtf8(entry.DisplayName));
    std::string detail = OneLine(SjisToUtf8(entry.Description));
    if (!detail.empty()) description += (description.empty() ? "" : " - ") + detail;
    const bool underHome = UnderHome(entry.ProgramPath) || UnderHome(entry.DataFolder);
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + EscapePercent(description) + "\n";
    text += "After=network.target\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + QuoteExecPath(entry.ProgramPath) + "\n";
    text += "Restart=on-failure\n";
    // A syslog server reads datagrams, writes its logs and sends mail: it
    // is confined to that. Binding port 514 is the one privilege it keeps.
    text += "User=" + entry.AccountName + "\n";
    text += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
    text += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
    text += "NoNewPrivileges=yes\n";
    text += "ProtectSystem=strict\n";
    if (!entry.DataFolder.empty()) text += "ReadWritePaths=" + QuoteExecPath(entry.DataFolder) + "\n";
    text += std::string("ProtectHome=") + (underHome ? "read-only" : "yes") + "\n";
    text += "PrivateTmp=yes\n";
    text += "PrivateDevices=yes\n";
    text += "PrivateMounts=yes\n";
    text += "ProtectKernelTunables=yes\n";
    text += "ProtectKernelModules=yes\n";
    text += "ProtectKernelLogs=yes\n";
    text += "ProtectControlGroups=yes\n";
    text += "ProtectClock=yes\n";
    text += "ProtectHostname=yes\n";
    text += "ProtectProc=invisible\n";
    text += "ProcSubset=pid\n";
    // AF_UNIX: the journal and the notification socket.
    text += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
    text += "RestrictNamespaces=yes\n";
    text += "RestrictRealtime=yes\n";
    text += "RestrictSUIDSGID=yes\n";
    text += "LockPersonality=yes\n";
    text += "MemoryDenyWriteExecute=yes\n";
    text += "RemoveIPC=yes\n";
    text += "DevicePolicy=closed\n";
    text += "SystemCallArchitectures=native\n";
    text += "SystemCallFilter=@system-service\n";
    text += "SystemCallFilter=~@privileged @resources\n";
    text += "SystemCallErrorNumber=EPERM\n";
    text += "UMask=0027\n";
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

namespace {

// What the unit above hides from its own service: PrivateTmp= gives it an
// empty /tmp and /var/tmp, PrivateDevices= a /dev of its own, and
// ProcSubset=pid with ProtectKernelTunables= leave /proc and /sys to the
// kernel's own files. A program or logs folder there is one the service
// never finds: its unit could be written, but never start.
struct HiddenRoot {
    const char* Root;
    const char* Setting;
};
const HiddenRoot* HiddenBySandbox(const std::string& path) {
    static const HiddenRoot kHidden[] = {{"/tmp", "PrivateTmp=yes"},
                                         {"/var/tmp", "PrivateTmp=yes"},
                                         {"/dev", "PrivateDevices=yes"},
                                         {"/proc", "ProcSubset=pid"},
                                         {"/sys", "ProtectKernelTunables=yes"}};
    for (const HiddenRoot& hidden : kHidden) {
        const size_t n = strlen(hidden.Root);
        if (path.compare(0, n, hidden.Root) == 0 && (path.size() == n || path[n] == '/')) return &hidden;
    }
    return nullptr;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

bool AccountExists(const std::string& name) {
    if (name.empty()) return false;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    return getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

// The confined service can write nothing but this folder, and cannot make
// it: it must be there, and the account's, before the first start.
void PrepareDataFolder(const std::string& folder, const std::string& account) {
    if (folder.empty()) return;
    if (CreateFolder(folder) != 0) return;
    if (geteuid() != 0) return;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwnam_r(account.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return;
    // Best effort: a folder that stays root's shows as a failed log write.
    if (chown(folder.c_str(), found->pw_uid, found->pw_gid) != 0) return;
}

class SystemdServiceManager final : public ServiceManager {
public:
    int Install(const ServiceEntry& entry) override {
        bool systemDir = false;
        std::string unitName = entry.ServiceName + ".service";
        std::string path = UnitDir(systemDir) + "/" + unitName;
        // A unit that systemd would refuse to load is no installation: say so now.
        if (!ExecPathAccepted(entry.ProgramPath)) return EINVAL;
        for (const std::string& folder : {FolderOf(entry.ProgramPath), entry.DataFolder}) {
            if (const HiddenRoot* hidden = HiddenBySandbox(folder)) {
                ReportToConsole("cannot install: the folder " + folder + " is under " + hidden->Root +
                                ", which the service's unit hides from the service (" + hidden->Setting +
                                "); put the program in a folder of its own, such as /opt/quorvel");
                return EINVAL;
            }
        }
        // Without its account the unit would run the server as root.
        if (!AccountExists(entry.AccountName)) {
            ReportToConsole("cannot install: the account " + entry.AccountName +
                            " that the service runs as does not exist; make it first: useradd --system "
                            "--user-group --home-dir " + FolderOf(entry.ProgramPath) +
                            " --no-create-home --shell /usr/sbin/nologin " + entry.AccountName);
            return ENOENT;
        }
        // O_EXCL: an existing entry is a failure, as on Windows, and is left untouched.
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.Valid()) return errno;
        const std::string text = SystemdUnitText(entry);
        if (WriteAll(fd.Get(), text) != text.size() || fsync(fd.Get()) != 0) {
            int error = errno;
            unlink(path.c_str());
            return error;
        }
        fd.Reset();
        PrepareDataFolder(entry.DataFolder, entry.AccountName);
        if (systemDir && SystemdRunning()) {
            int rc = RunSystemctl({"daemon-reload"});
            if (rc == 0) rc = RunSystemctl({"enable", unitName});
            if (rc != 0) {
                // Half an installation would make the next INSTALL fail for good.
                unlink(path.c_str());
                RunSystemctl({"daemon-reload"});
                return rc;
            }
        }
        return 0;
    }

    int Remove(const std::string& serviceName) override {
        bool systemDir = false;
        std::string unitName = serviceName + ".service";
        std::string path = UnitDir(systemDir) + "/" + unitName;
        if (access(path.c_str(), F_OK) != 0) return errno;
        bool tellSystemd = systemDir && SystemdRunning();
        if (tellSystemd) RunSystemctl({"disable", unitName});
        if (unlink(path.c_str()) != 0) return errno;
        if (tellSystemd) RunSystemctl({"daemon-reload"});
        return 0;
    }

    void ShowError(const std::string& caption, const std::string& text) override {
        BrokenPipeIgnored brokenPipe;
        WriteAll(2, SjisToUtf8(caption) + ": " + SjisToUtf8(text) + "\n");
    }
};

}  // namespace

ServiceManager& ServiceManagerInstance() {
    static SystemdServiceManager manager;
    return manager;
}

}  // namespace quorvel::platform
