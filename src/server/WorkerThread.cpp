// The thread skeleton's lifecycle and its owner check.

#include "server/WorkerThread.h"

#include <cstdio>
#include <cstdlib>

namespace quorvel {

namespace {

[[noreturn]] void CalledOffThread(const char* method) {
    std::fprintf(stderr, "quorvel: %s called off its own thread\n", method);
    std::abort();
}

}  // namespace

TWorkerThread::~TWorkerThread() {
    // A room that forgot its stop would leave a thread running on freed
    // members: std::thread's own end would only terminate, without a word.
    if (thread_.joinable()) CalledOffThread("a room ended without Stop:");
}

bool TWorkerThread::StartLocked() {
    if (thread_.joinable() || joining_) return true;
    stopping_ = false;
    try {
        thread_ = std::thread([this] { Main(); });
    } catch (...) {
        return false;
    }
    return true;
}

void TWorkerThread::Main() {
    TLock lock(lock_);
    owner_ = std::this_thread::get_id();
    try {
        body_(lock);
    } catch (...) {
        // A room's body reports its own failures; nothing may end the
        // process from here.
    }
    if (!lock.owns_lock()) lock.lock();
    owner_ = std::thread::id();
    idle_.notify_all();
}

void TWorkerThread::SleepLocked(TLock& lock, TTime until, bool wakeable) {
    waiting_ = wakeable;
    if (until == TTime::max()) {
        wake_.wait(lock);
    } else {
        wake_.wait_until(lock, until);
    }
    waiting_ = false;
}

void TWorkerThread::Stop(TTime deadline) {
    std::thread thread;
    {
        TLock lock(lock_);
        if (!thread_.joinable() || joining_) return;
        if (owner_.load() == std::this_thread::get_id()) CalledOffThread("Stop (on the room's own thread)");
        stopping_ = true;
        deadline_ = deadline;
        wake_.notify_all();
        // Taken out under the lock, so that no other caller reads the
        // handle while the join changes it; joining_ keeps a post from
        // starting a second thread meanwhile.
        thread = std::move(thread_);
        joining_ = true;
    }
    thread.join();
    TLock lock(lock_);
    joining_ = false;
}

void TWorkerThread::CheckOnThread(const char* method) const {
#ifdef QUORVEL_THREAD_CHECKS
    if (owner_.load() != std::this_thread::get_id()) CalledOffThread(method);
#else
    (void)method;
#endif
}

}  // namespace quorvel
