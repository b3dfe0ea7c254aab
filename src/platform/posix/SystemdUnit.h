#pragma once
// The text of the systemd unit an install writes (backend-internal; the
// Debian package ships the same text, and a test holds the two together).

#include <string>

#include "platform/ServiceManager.h"

namespace quorvel::platform {

// The unit for the entry; it runs the program as entry.AccountName.
std::string SystemdUnitText(const ServiceEntry& entry);

}  // namespace quorvel::platform
