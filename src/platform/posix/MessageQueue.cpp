#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/MessageQueue.h"
#include "platform/posix/UniqueFd.h"

namespace quorvel::platform {

namespace {

constexpr uint64_t kWakeTag = 0;

class EpollMessageQueue final : public MessageQueue {
public:
    EpollMessageQueue(UniqueFd epoll, UniqueFd wake) : epoll_(std::move(epoll)), wake_(std::move(wake)) {}

    int Post(unsigned number, int64_t param1, int64_t param2) override {
        return Enqueue(Posted{false, QueueMessage{number, param1, param2, 0}});
    }

    int PostQuit() override { return Enqueue(Posted{true, {}}); }

    int RegisterSocket(int socket, unsigned number, SocketHandler handler, int64_t events) override {
        CheckOwner("RegisterSocket");
        if (socket < 0) return EBADF;
        if (!handler) return EINVAL;
        UnregisterSocket(socket);
        uint64_t tag = ++lastTag_;
        epoll_event ev{};
        ev.events = EPOLLIN;
        if ((events & kSocketClose) != 0) ev.events |= EPOLLRDHUP;
        ev.data.u64 = tag;
        if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, socket, &ev) != 0) return errno;
        auto reg = std::make_shared<Registration>();
        reg->Socket = socket;
        reg->Number = number;
        reg->Events = events;
        reg->Handler = std::move(handler);
        registrations_[tag] = std::move(reg);
        return 0;
    }

    int StartTimer(int periodMs, TimerHandler handler, uint64_t* id) override {
        CheckOwner("StartTimer");
        if (periodMs <= 0 || !handler || id == nullptr) return EINVAL;
        UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        if (!timer.Valid()) return errno;
        itimerspec period{};
        period.it_interval.tv_sec = periodMs / 1000;
        period.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000L;
        period.it_value = period.it_interval;
        if (timerfd_settime(timer.Get(), 0, &period, nullptr) != 0) return errno;
        const uint64_t tag = ++lastTag_;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, timer.Get(), &ev) != 0) return errno;
        auto reg = std::make_shared<Registration>();
        reg->Socket = timer.Get();
        reg->Timer = std::move(timer);
        reg->Handler = [tick = std::move(handler)](unsigned, int64_t, int64_t) { tick(); };
        registrations_[tag] = std::move(reg);
        *id = tag;
        return 0;
    }

    void StopTimer(uint64_t id) override {
        CheckOwner("StopTimer");
        auto it = registrations_.find(id);
        if (it == registrations_.end() || !it->second->Timer.Valid()) return;
        epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, it->second->Timer.Get(), nullptr);
        // A tick running now holds its own reference; the descriptor closes
        // with the last one.
        registrations_.erase(it);
    }

    void UnregisterSocket(int socket) override {
        CheckOwner("UnregisterSocket");
        for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
            if (it->second->Socket != socket || it->second->Timer.Valid()) continue;
            // The descriptor may already be closed, which removed it from the
            // epoll set; the error is of no interest then.
            epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, socket, nullptr);
            registrations_.erase(it);
            return;
        }
    }

    int Next(QueueMessage& message) override {
        CheckOwner("Next");
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!posted_.empty()) {
                    Posted p = posted_.front();
                    posted_.pop_front();
                    if (p.Quit) return 0;
                    message = p.Message;
                    return 1;
                }
            }
            // One event per wait: with level triggering the kernel moves a
            // reported socket to the back of its ready list, so sockets with
            // queued datagrams take turns and each notification is fresh.
            epoll_event ev{};
            int n = epoll_wait(epoll_.Get(), &ev, 1, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (n == 0) continue;
            if (ev.data.u64 == kWakeTag) {
                uint64_t count = 0;
                while (::read(wake_.Get(), &count, sizeof count) < 0 && errno == EINTR) {
                }
                continue;
            }
            auto it = registrations_.find(ev.data.u64);
            if (it == registrations_.end()) continue;
            if (it->second->Timer.Valid()) {
                // Read, or the level-triggered timer would be reported for ever.
                uint64_t expirations = 0;
                if (::read(it->second->Timer.Get(), &expirations, sizeof expirations) < 0) continue;
                message.Number = 0;
                message.Param1 = 0;
                message.Param2 = 0;
                message.Target = it->first;
                return 1;
            }
            int64_t error = 0;
            if (ev.events & (EPOLLERR | EPOLLHUP)) {
                // Reading SO_ERROR clears it; otherwise a level-triggered error
                // would be reported for ever.
                int soError = 0;
                socklen_t len = sizeof soError;
                if (getsockopt(it->second->Socket, SOL_SOCKET, SO_ERROR, &soError, &len) == 0) error = soError;
            }
            int64_t event = (it->second->Events & kSocketAccept) != 0 ? kSocketAccept : kSocketRead;
            if ((it->second->Events & kSocketClose) != 0 && (ev.events & (EPOLLRDHUP | EPOLLHUP)) != 0) {
                event |= kSocketClose;
            }
            message.Number = it->second->Number;
            message.Param1 = it->second->Socket;
            message.Param2 = event | ((error & 0xFFFF) << 16);
            message.Target = it->first;
            return 1;
        }
    }

    void Dispatch(const QueueMessage& message) override {
        CheckOwner("Dispatch");
        if (message.Target == 0) return;
        auto it = registrations_.find(message.Target);
        if (it == registrations_.end()) return;
        // Hold the registration so that a handler that unregisters its own
        // socket does not destroy the function it is running in.
        std::shared_ptr<Registration> reg = it->second;
        reg->Handler(message.Number, message.Param1, message.Param2);
    }

private:
    struct Posted {
        bool Quit;
        QueueMessage Message;
    };
    struct Registration {
        int Socket = -1;
        unsigned Number = 0;
        int64_t Events = kSocketRead;
        SocketHandler Handler;
        UniqueFd Timer;  // a timer's own descriptor (then Socket is its number)
    };

    // Makes the calling thread the owner when there is none yet; ends the
    // process when another thread is.
    void CheckOwner(const char* method) {
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id none;
        if (!owner_.compare_exchange_strong(none, self) && none != self) CalledOffOwner(method);
    }

    int Enqueue(Posted p) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_.push_back(p);
        }
        uint64_t one = 1;
        for (;;) {
            if (::write(wake_.Get(), &one, sizeof one) == sizeof one) return 0;
            // EAGAIN means the counter is already huge: the loop is awake anyway.
            if (errno == EAGAIN) return 0;
            if (errno != EINTR) return errno;
        }
    }

    UniqueFd epoll_;
    UniqueFd wake_;
    std::mutex mutex_;
    std::deque<Posted> posted_;
    std::map<uint64_t, std::shared_ptr<Registration>> registrations_;
    uint64_t lastTag_ = kWakeTag;
    std::atomic<std::thread::id> owner_{};
};

}  // namespace

std::unique_ptr<MessageQueue> CreateMessageQueue() {
    UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!epoll.Valid() || !wake.Valid()) return nullptr;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, wake.Get(), &ev) != 0) return nullptr;
    return std::make_unique<EpollMessageQueue>(std::move(epoll), std::move(wake));
}

}  // namespace quorvel::platform
