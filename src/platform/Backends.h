#pragma once
// The system's implementations behind the platform interfaces: each backend
// folder defines these once (backend-internal; the core reaches them through
// DefaultServiceEnvironment).

#include "platform/ServiceControl.h"
#include "platform/ServiceManager.h"
#include "platform/SystemLog.h"

namespace quorvel::platform {

SystemLog& SystemLogInstance();
ServiceManager& ServiceManagerInstance();
ServiceControl& ServiceControlInstance();

}  // namespace quorvel::platform
