#pragma once
// Everything the service host needs of the system, in one bundle so that
// tests can hand the host a substitute.

#include <functional>
#include <memory>

#include "platform/MessageQueue.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "platform/SystemLog.h"

namespace quorvel::platform {

struct ServiceEnvironment {
    ServiceManager* Manager = nullptr;
    ServiceControl* Control = nullptr;
    SystemLog* Log = nullptr;
    std::function<std::unique_ptr<MessageQueue>()> NewQueue;
};

// The running system's implementations; they live as long as the process.
ServiceEnvironment DefaultServiceEnvironment();

}  // namespace quorvel::platform
