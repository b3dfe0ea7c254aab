#include "platform/MessageQueue.h"

#include <cstdlib>
#include <string>

#include "platform/Console.h"

namespace quorvel::platform {

namespace {
thread_local MessageQueue* currentQueue = nullptr;
}

void MessageQueue::AttachToCurrentThread() { currentQueue = this; }

MessageQueue* MessageQueue::Current() { return currentQueue; }

void MessageQueue::DetachFromCurrentThread() {
    if (currentQueue == this) currentQueue = nullptr;
}

void MessageQueue::CalledOffOwner(const char* method) {
    ReportToConsole(std::string("MessageQueue::") + method + " called off the queue's owning thread");
    std::abort();
}

}  // namespace quorvel::platform
