// The service host's default environment: the backend's own service manager,
// service control and system log, and the worker queue of this system.

#include "platform/ServiceEnvironment.h"

#include "platform/Backends.h"

namespace quorvel::platform {

ServiceEnvironment DefaultServiceEnvironment() {
    ServiceEnvironment env;
    env.Manager = &ServiceManagerInstance();
    env.Control = &ServiceControlInstance();
    env.Log = &SystemLogInstance();
    env.NewQueue = [] { return CreateMessageQueue(); };
    return env;
}

}  // namespace quorvel::platform
