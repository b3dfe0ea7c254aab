#include "platform/Memory.h"
#include "server/QuorvelService.h"
#include "server/ServerTexts.h"
#include "service/DService.h"
#include "util/DString.h"

int main(int argc, char** argv) {
    quorvel::platform::ReturnLargeBlocksAtOnce();
    quorvel::TDService service;
    quorvel::TSysLogServer server([&service](const std::string& text, int type, int category, uint32_t id) {
        service.LogEvent(text, type, category, id);
    });
    service.ServiceName = quorvel::texts::kServiceName;
    service.DisplayName = quorvel::texts::kServiceDisplayName;
    service.Description = quorvel::texts::kServiceDescription + quorvel::ExeFolder();
    service.OnStart = [&server](bool& started) { server.DoServiceStart(started); };
    service.OnStop = [&server](bool& stopped) { server.DoServiceStop(stopped); };
    service.OnShutdown = [&server] { server.DoServiceShutdown(); };
    service.OnIgnoredSignal = [&server](int signalNumber) { server.NoteIgnoredSignal(signalNumber); };
    return service.RunCommandLine(argc, argv);
}
