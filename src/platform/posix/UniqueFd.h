#pragma once
// Owner of one POSIX descriptor (backend-internal).

#include <unistd.h>

#include "platform/UniqueHandle.h"

namespace quorvel::platform {

using UniqueFd = UniqueHandle<HandleTraits<int, -1, &::close>>;

}  // namespace quorvel::platform
