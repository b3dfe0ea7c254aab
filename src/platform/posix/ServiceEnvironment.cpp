#include "platform/ServiceEnvironment.h"

#include "platform/posix/Backends.h"

namespace quorvel::platform {

ServiceEnvironment DefaultServiceEnvironment() {
    ServiceEnvironment env;
    env.Manager = &PosixServiceManagerInstance();
    env.Control = &PosixServiceControlInstance();
    env.Log = &PosixSystemLogInstance();
    env.NewQueue = [] { return CreateMessageQueue(); };
    return env;
}

}  // namespace quorvel::platform
