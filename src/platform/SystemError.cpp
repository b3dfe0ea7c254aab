// What both systems share of the error texts: the detail form of a code
// and the code of the exception being handled.

#include "platform/SystemError.h"

#include <system_error>

namespace quorvel::platform {

std::string SystemErrorDetail(int code) {
    if (code == 0) return {};
    return " (error " + std::to_string(code) + ": " + SystemErrorText(code) + ")";
}

int CurrentExceptionCode() {
    try {
        throw;
    } catch (const std::system_error& e) {
        return e.code().value();
    } catch (...) {
        return LastSystemError();
    }
}

}  // namespace quorvel::platform
