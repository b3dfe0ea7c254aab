#include "platform/ServiceEnvironment.h"

#include "platform/win32/Backends.h"

namespace quorvel::platform {

ServiceEnvironment DefaultServiceEnvironment() {
    ServiceEnvironment env;
    env.Manager = &WindowsServiceManagerInstance();
    env.Control = &WindowsServiceControlInstance();
    env.Log = &WindowsSystemLogInstance();
    env.NewQueue = [] { return CreateMessageQueue(); };
    return env;
}

}  // namespace quorvel::platform
