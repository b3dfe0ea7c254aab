// The whole configuration read of the server (byte-order mark, keys, ports,
// instances, the keyword block, the notes on stray lines) and the keyword
// match of each instance over a received message. The input is the ini
// file's bytes, then a NUL byte and the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "server/QuorvelService.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string_view ini = input.substr(0, cut);
    const std::string_view message = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
    TSysLogServer server;
    try {
        server.LoadConfigText(ini, "/nonexistent/logs/");
    } catch (const std::runtime_error&) {
        return 0;  // UTF-16, refused as such
    }
    for (const auto& service : server.Services) {
        if (!service) continue;
        if (service->Reception.SysLogPort < 2 || service->Reception.SysLogPort > 65534) std::abort();
        const TKeyword* match = TSyslogService::FindKeyword(service->Mail.KeywordList, message);
        if (match != nullptr && match->Keyword.empty()) std::abort();
        (void)service->ExpandLogFileName(service->Files.RecvLogName);
    }
    for (const TStartProblem& problem : server.StartProblems) (void)StartProblemText(problem);
    return 0;
}
