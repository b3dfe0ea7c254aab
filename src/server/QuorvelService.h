#pragma once
// The server object: owns the syslog instances read from "Quorvel.ini".
// Worker thread only.

#include <array>
#include <memory>
#include <string>

#include "server/SyslogServer.h"

namespace quorvel {

constexpr int kServiceSlots = 10;

// Slot i holds instance number i + 1; an empty slot means no instance.
using TSyslogServiceList = std::array<std::unique_ptr<TSyslogService>, kServiceSlots>;

class TSysLogServer {
public:
    TSysLogServer() = default;
    TSysLogServer(const TSysLogServer&) = delete;
    TSysLogServer& operator=(const TSysLogServer&) = delete;

    TSyslogServiceList Services;

    // Reads "Quorvel.ini" from the executable's folder and fills Services.
    // False when the file does not exist. Throws std::runtime_error when it
    // exists but cannot be read.
    bool LoadConfig();
    // The same for "Quorvel.ini" and "logs" in the given folder.
    bool LoadConfig(const std::string& folder);
};

}  // namespace quorvel
