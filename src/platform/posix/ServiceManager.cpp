#include "platform/ServiceManager.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/TextEncoding.h"
#include "platform/posix/Backends.h"
#include "platform/posix/BrokenPipe.h"
#include "platform/posix/UniqueFd.h"

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

// ExecStart= splits at blanks and reads quotes and backslashes.
std::string QuoteExecPath(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return EscapePercent(out);
}

std::string UnitText(const ServiceEntry& entry) {
    std::string description = OneLine(SjisToUtf8(entry.DisplayName));
    std::string detail = OneLine(SjisToUtf8(entry.Description));
    if (!detail.empty()) description += (description.empty() ? "" : " - ") + detail;
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + EscapePercent(description) + "\n";
    text += "After=network.target\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + QuoteExecPath(entry.ProgramPath) + "\n";
    text += "Restart=on-failure\n";
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

class SystemdServiceManager final : public ServiceManager {
public:
    int Install(const ServiceEntry& entry) override {
        bool systemDir = false;
        std::string unitName = entry.ServiceName + ".service";
        std::string path = UnitDir(systemDir) + "/" + unitName;
        // O_EXCL: an existing entry is a failure, as on Windows, and is left untouched.
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd.Valid()) return errno;
        if (!WriteAll(fd.Get(), UnitText(entry)) || fsync(fd.Get()) != 0) {
            int error = errno;
            unlink(path.c_str());
            return error;
        }
        fd.Reset();
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

ServiceManager& PosixServiceManagerInstance() {
    static SystemdServiceManager manager;
    return manager;
}

}  // namespace quorvel::platform
