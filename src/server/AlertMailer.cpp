#include "server/AlertMailer.h"

#include "net/DBaseSocket.h"

namespace quorvel {

TAlertMailer::TAlertMailer(TDeliver deliver) : Deliver(std::move(deliver)) {}

TAlertMailer::~TAlertMailer() { Stop(); }

bool TAlertMailer::Reserve() {
    std::lock_guard<std::mutex> lock(Lock);
    if (Reserved >= kQueueLimit) return false;
    ++Reserved;
    return true;
}

void TAlertMailer::Post(TAlertJob job) {
    {
        std::unique_lock<std::mutex> lock(Lock);
        if (!Stopped && !Stopping) {
            // Started with the first mail: most instances never send one.
            if (!Thread.joinable()) Thread = std::thread([this] { Run(); });
            Jobs.push_back(std::move(job));
            Wake.notify_one();
            return;
        }
    }
    Deliver(job, false);
    std::lock_guard<std::mutex> lock(Lock);
    if (Reserved > 0) --Reserved;
    if (Reserved == 0) Idle.notify_all();
}

void TAlertMailer::SetActive(TDBaseSocket* connection) {
    std::lock_guard<std::mutex> lock(Lock);
    Active = connection;
    // A mail that starts after the stop gave up fails at its connect.
    if (Active != nullptr && Stopping) Active->Abort();
}

bool TAlertMailer::Aborting() const {
    std::lock_guard<std::mutex> lock(Lock);
    return Stopping;
}

bool TAlertMailer::WaitIdle(TTime deadline) {
    std::unique_lock<std::mutex> lock(Lock);
    return Idle.wait_until(lock, deadline, [this] { return Jobs.empty() && !Busy; });
}

void TAlertMailer::Stop() {
    {
        std::lock_guard<std::mutex> lock(Lock);
        if (Stopped) return;
        Stopping = true;
        if (Active != nullptr) Active->Abort();
        Wake.notify_one();
    }
    if (Thread.joinable()) Thread.join();
    std::deque<TAlertJob> left;
    {
        std::lock_guard<std::mutex> lock(Lock);
        Stopped = true;
        left.swap(Jobs);
    }
    for (const TAlertJob& job : left) Deliver(job, false);
    std::lock_guard<std::mutex> lock(Lock);
    Reserved = 0;
    Idle.notify_all();
}

void TAlertMailer::Run() {
    std::unique_lock<std::mutex> lock(Lock);
    for (;;) {
        Wake.wait(lock, [this] { return Stopping || !Jobs.empty(); });
        if (Stopping) return;
        TAlertJob job = std::move(Jobs.front());
        Jobs.pop_front();
        Busy = true;
        lock.unlock();
        try {
            Deliver(job, true);
        } catch (...) {
            // Deliver reports each mail itself; nothing may end the thread.
        }
        lock.lock();
        Busy = false;
        if (Reserved > 0) --Reserved;
        if (Jobs.empty()) Idle.notify_all();
    }
}

}  // namespace quorvel
