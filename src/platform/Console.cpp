#include "platform/Console.h"

namespace quorvel::platform {

void ReportError(const std::string& text) { WriteErrorOutput("quorvel: " + text + "\n"); }

}  // namespace quorvel::platform
