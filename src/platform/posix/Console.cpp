#include "platform/Console.h"

#include "platform/posix/BrokenPipe.h"
#include "platform/posix/WriteAll.h"

namespace quorvel::platform {

void WriteOutput(const std::string& text) {
    BrokenPipeIgnored brokenPipe;
    WriteAll(1, text);
}

void WriteErrorOutput(const std::string& text) {
    BrokenPipeIgnored brokenPipe;
    WriteAll(2, text);
}

}  // namespace quorvel::platform
