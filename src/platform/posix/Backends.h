#pragma once
// The POSIX implementations behind the platform interfaces (backend-internal).

#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "platform/SystemLog.h"

namespace quorvel::platform {

SystemLog& PosixSystemLogInstance();
ServiceManager& PosixServiceManagerInstance();
ServiceControl& PosixServiceControlInstance();

}  // namespace quorvel::platform
