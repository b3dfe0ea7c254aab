#include "platform/MessageQueue.h"

namespace quorvel::platform {

namespace {
thread_local MessageQueue* currentQueue = nullptr;
}

void MessageQueue::AttachToCurrentThread() { currentQueue = this; }

MessageQueue* MessageQueue::Current() { return currentQueue; }

void MessageQueue::DetachFromCurrentThread() {
    if (currentQueue == this) currentQueue = nullptr;
}

}  // namespace quorvel::platform
