#include "server/AlertMailer.h"

#include "net/DBaseSocket.h"

namespace quorvel {

TAlertMailer::TAlertMailer(TDeliver deliver) : deliver_(std::move(deliver)) {}

TAlertMailer::~TAlertMailer() { Stop(); }

bool TAlertMailer::Reserve() {
    std::lock_guard<std::mutex> lock(lock_);
    if (reserved_ >= kQueueLimit) return false;
    ++reserved_;
    return true;
}

void TAlertMailer::Post(TAlertJob job) {
    {
        std::unique_lock<std::mutex> lock(lock_);
        if (!stopped_ && !stopping_) {
            // Started with the first mail: most instances never send one.
            if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
            jobs_.push_back(std::move(job));
            wake_.notify_one();
            return;
        }
    }
    deliver_(job, false);
    std::lock_guard<std::mutex> lock(lock_);
    if (reserved_ > 0) --reserved_;
    if (reserved_ == 0) idle_.notify_all();
}

void TAlertMailer::SetActive(TDBaseSocket* connection) {
    std::lock_guard<std::mutex> lock(lock_);
    active_ = connection;
    // A mail that starts after the stop gave up fails at its connect.
    if (active_ != nullptr && stopping_) active_->Abort();
}

bool TAlertMailer::Aborting() const {
    std::lock_guard<std::mutex> lock(lock_);
    return stopping_;
}

bool TAlertMailer::WaitIdle(TTime deadline) {
    std::unique_lock<std::mutex> lock(lock_);
    return idle_.wait_until(lock, deadline, [this] { return jobs_.empty() && !busy_; });
}

void TAlertMailer::Stop() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (stopped_) return;
        stopping_ = true;
        if (active_ != nullptr) active_->Abort();
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    std::deque<TAlertJob> left;
    {
        std::lock_guard<std::mutex> lock(lock_);
        stopped_ = true;
        left.swap(jobs_);
    }
    for (const TAlertJob& job : left) deliver_(job, false);
    std::lock_guard<std::mutex> lock(lock_);
    reserved_ = 0;
    idle_.notify_all();
}

void TAlertMailer::Run() {
    std::unique_lock<std::mutex> lock(lock_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        TAlertJob job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        try {
            deliver_(job, true);
        } catch (...) {
            // deliver_ reports each mail itself; nothing may end the thread.
        }
        lock.lock();
        busy_ = false;
        if (reserved_ > 0) --reserved_;
        if (jobs_.empty()) idle_.notify_all();
    }
}

}  // namespace quorvel
