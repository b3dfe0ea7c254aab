#include "platform/Memory.h"
#include "server/QuorvelService.h"
#include "server/ServerTexts.h"
#include "service/DService.h"
#include "util/DString.h"

#ifndef QUORVEL_VERSION
#define QUORVEL_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: quorvel [-RUN | -INSTALL | -UNINSTALL | -HELP | -VERSION]\n"
    "  (no word)   the service itself, as the system's service manager starts it\n"
    "  -RUN        serve in the foreground until Ctrl+C\n"
    "  -INSTALL    write the service entry and enable it (does not start it)\n"
    "  -UNINSTALL  disable and remove the service entry (does not stop it)\n"
    "  -HELP       this text (also --help, -h, /?)\n"
    "  -VERSION    the version (also --version)\n"
    "Words may start with -, -- or / in any letter case. The configuration is\n"
    "Quorvel.ini beside the program; the logs go to logs/ beside it.\n";

}  // namespace

int main(int argc, char** argv) {
    quorvel::platform::ReturnLargeBlocksAtOnce();
    quorvel::TDService service;
    quorvel::TSysLogServer server([&service](const std::string& text, int type, int category, uint32_t id) {
        service.LogEvent(text, type, category, id);
    });
    service.ServiceName = quorvel::texts::kServiceName;
    service.DisplayName = quorvel::texts::kServiceDisplayName;
    service.Description = quorvel::texts::kServiceDescription + quorvel::ExeFolder();
    service.Usage = kUsage;
    service.DataFolder = quorvel::ExeFolder() + "logs";
    // The Debian package makes this system user; -INSTALL refuses without it.
    service.AccountName = "quorvel";
    service.Version = std::string("quorvel ") + QUORVEL_VERSION + "\n";
    server.ReportActivity = [&service](const std::string& text, bool atStop) { service.ReportActivity(text, atStop); };
    service.OnStart = [&server](bool& started) { server.DoServiceStart(started); };
    service.OnStop = [&server](bool& stopped) { server.DoServiceStop(stopped); };
    service.OnShutdown = [&server] { server.DoServiceShutdown(); };
    service.OnIgnoredSignal = [&server](int signalNumber) { server.NoteIgnoredSignal(signalNumber); };
    return service.RunCommandLine(argc, argv);
}
