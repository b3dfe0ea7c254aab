#include "platform/Console.h"

namespace quorvel::platform {

void ReportToConsole(const std::string& text) { WriteErrorOutput("quorvel: " + text + "\n"); }

}  // namespace quorvel::platform
