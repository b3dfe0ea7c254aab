#pragma once
// The skeleton of every room that owns a thread: one lock, a wake-up, a
// stop with a deadline and an owner check, plus the bounded queue such a
// room hands its work over with. A room (the log writer, the alert mailer,
// the statistics timer) keeps its state under Mutex() and writes only its
// loop, the body; the skeleton starts, wakes and ends the thread the same way
// for all of them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace quorvel {

class TWorkerThread {
public:
    using TTime = std::chrono::steady_clock::time_point;
    using TLock = std::unique_lock<std::mutex>;
    // The room's loop, entered with the lock held; it returns once
    // StoppingLocked() says so and the room is done.
    using TBody = std::function<void(TLock& lock)>;

    explicit TWorkerThread(TBody body) : body_(std::move(body)) {}
    // The room stops its thread before its own members go; this only checks
    // that it did.
    ~TWorkerThread();
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    // The room's lock: guards the skeleton's state and the room's own.
    std::mutex& Mutex() { return lock_; }

    // Lock held: starts the thread unless it runs (again after a Stop);
    // false when the system refused a thread.
    bool StartLocked();
    bool RunningLocked() const { return thread_.joinable() || joining_; }
    // Lock held: wakes a thread that sleeps waiting for work; a busy one
    // comes back for more by itself, so a post costs no switch.
    void WakeLocked() {
        if (waiting_) wake_.notify_one();
    }
    // Thread, lock held: sleeps until `until`, a stop request or, when
    // wakeable, a WakeLocked. A room that sleeps only until a retry or a
    // pause ends passes false: posts come often, and each would wake it.
    void SleepLocked(TLock& lock, TTime until, bool wakeable = true);
    // Lock held: a stop was asked for, and by when it must be over.
    bool StoppingLocked() const { return stopping_; }
    TTime DeadlineLocked() const { return deadline_; }

    // Any thread but the room's own: asks the body to end by the deadline and
    // waits until it has. Nothing is left running afterwards; a later
    // StartLocked starts a new thread.
    void Stop(TTime deadline);

    // Lock held: tells WaitIdle to look again.
    void NotifyIdleLocked() { idle_.notify_all(); }
    // Any thread: waits until idle() (checked under the lock) or the
    // deadline; the value of idle() at the end.
    template <class Predicate>
    bool WaitIdle(TTime deadline, Predicate idle) {
        TLock lock(lock_);
        return idle_.wait_until(lock, deadline, idle);
    }

    // Ends the process with the method's name on standard error when not
    // called on the room's thread, in builds with thread checks (debug and
    // test builds); nothing otherwise. A room's "its thread only" member
    // calls it, so that the comment is also a check.
    void CheckOnThread(const char* method) const;

private:
    void Main();

    TBody body_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    bool waiting_ = false;
    bool stopping_ = false;
    bool joining_ = false;  // a Stop waits for the thread
    TTime deadline_{};
    std::atomic<std::thread::id> owner_{};
    std::thread thread_;
};

// Items in arrival order under a bound on their summed cost (bytes of
// lines, or one per job). Room may be reserved ahead of an item that is
// still on its way. No lock of its own: the room's lock guards it.
template <class T>
class TBoundedQueue {
public:
    explicit TBoundedQueue(size_t limit) : limit_(limit) {}

    size_t Limit() const { return limit_; }
    // Cost of the queued items plus the reservations.
    size_t Used() const { return used_; }
    size_t Room() const { return limit_ > used_ ? limit_ - used_ : 0; }
    bool Empty() const { return items_.empty(); }
    size_t Size() const { return items_.size(); }

    // Claims room for cost; false, and nothing claimed, when it does not fit.
    bool Reserve(size_t cost = 1) {
        if (cost > Room()) return false;
        used_ += cost;
        return true;
    }
    // Gives claimed room back (at most what is claimed).
    void Release(size_t cost = 1) { used_ -= cost < used_ ? cost : used_; }
    // Queues an item whose cost is counted against the bound without a
    // check: room reserved before, or an item that must pass a full queue.
    void PushAnyway(T item, size_t cost) {
        items_.emplace_back(std::move(item), cost);
        used_ += cost;
    }
    // Queues an item if its cost fits; false otherwise (the item is dropped).
    bool Push(T item, size_t cost) {
        if (cost > Room()) return false;
        PushAnyway(std::move(item), cost);
        return true;
    }
    T& Front() { return items_.front().first; }
    T& Back() { return items_.back().first; }
    // Adds cost to the last item, which grew by that much.
    void GrowBack(size_t cost) {
        items_.back().second += cost;
        used_ += cost;
    }
    // Takes the first item and frees its cost.
    T Pop() {
        auto entry = std::move(items_.front());
        items_.pop_front();
        Release(entry.second);
        return std::move(entry.first);
    }

private:
    size_t limit_;
    size_t used_ = 0;
    std::deque<std::pair<T, size_t>> items_;
};

}  // namespace quorvel
