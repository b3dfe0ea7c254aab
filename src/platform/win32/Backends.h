#pragma once
// The Windows implementations behind the platform interfaces (backend-internal).

#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "platform/SystemLog.h"

namespace quorvel::platform {

SystemLog& WindowsSystemLogInstance();
ServiceManager& WindowsServiceManagerInstance();
ServiceControl& WindowsServiceControlInstance();

}  // namespace quorvel::platform
