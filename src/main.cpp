#include "service/DService.h"

int main(int argc, char** argv) {
    quorvel::TDService service;
    service.ServiceName = "QuorvelService";
    service.DisplayName = "Quorvel  Service";
    service.Description = "Quorvel syslog server";
    // The server's start, stop and shutdown come with the server itself;
    // until then the host runs with hooks that accept every start and stop.
    service.OnStart = [](bool&) {};
    service.OnStop = [](bool&) {};
    service.OnShutdown = [] {};
    return service.RunCommandLine(argc, argv);
}
