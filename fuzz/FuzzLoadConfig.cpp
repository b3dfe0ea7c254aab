// The whole configuration read of the server, from a real Quorvel.ini, and
// the keyword match of each instance over a received message. The input is
// the ini file, then a NUL byte and the message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include <unistd.h>

#include "server/QuorvelService.h"

namespace {

std::string Folder() {
    // A memory file system keeps the ini rewrite of every run off the disk.
    char pattern[] = "/dev/shm/quorvel-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    static const std::string folder = Folder();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\0');
    const std::string_view ini = input.substr(0, cut);
    const std::string_view message = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
    {
        std::ofstream out(folder + "/Quorvel.ini", std::ios::binary | std::ios::trunc);
        out.write(ini.data(), static_cast<std::streamsize>(ini.size()));
    }
    TSysLogServer server;
    try {
        if (!server.LoadConfig(folder)) std::abort();
    } catch (const std::runtime_error&) {
        return 0;  // a file the reader refuses, said as such
    }
    for (const auto& service : server.Services) {
        if (!service) continue;
        const TKeyword* match = TSyslogService::FindKeyword(service->KeywordList, message);
        if (match != nullptr && match->Keyword.empty()) std::abort();
        (void)service->ExpandLogFileName(service->RecvLogName);
    }
    return 0;
}
