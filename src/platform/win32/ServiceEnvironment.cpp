#include "platform/ServiceEnvironment.h"

#include "Backends.h"

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
