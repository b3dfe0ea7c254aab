#include "platform/SystemError.h"

#include <system_error>

namespace quorvel::platform {

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
