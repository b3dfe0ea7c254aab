#pragma once
// The alert mails of one instance, sent on a thread of their own so that a
// slow or silent mail server never holds up reception. Safe from any thread
// unless a member says otherwise.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/AlertThrottle.h"

namespace quorvel {

class TDBaseSocket;

// One message that matched a keyword: one mail to each address.
struct TAlertJob {
    std::string Body;     // the message after ConvertControlCodes
    std::string Sender;   // as in the received-message line
    std::string Keyword;  // the keyword that matched
    std::vector<std::string> Addresses;
    // Per address, what the storm guard held back before this mail; empty
    // when the guard is off.
    std::vector<THeldAlerts> Held;
};

class TAlertMailer {
public:
    using TTime = std::chrono::steady_clock::time_point;
    // Sends (send true) or reports as not sent (send false) each mail of the
    // job; called on the mail thread, or on the caller's thread once stopped.
    using TDeliver = std::function<void(const TAlertJob& job, bool send)>;

    // Messages waiting for their mails, queued and under way together.
    static constexpr size_t kQueueLimit = 100;

    explicit TAlertMailer(TDeliver deliver);
    ~TAlertMailer();
    TAlertMailer(const TAlertMailer&) = delete;
    TAlertMailer& operator=(const TAlertMailer&) = delete;

    // Claims room for one message before it is handed on; false when the
    // queue is full (the caller counts the mails as dropped).
    bool Reserve();
    // Queues a job whose room Reserve claimed. Once stopped, the job is
    // reported as not sent at once, on the calling thread.
    void Post(TAlertJob job);

    // Mail thread: the connection Abort reaches while a mail is under way
    // (null when none is).
    void SetActive(TDBaseSocket* connection);
    // True once Stop has given up on the mails still to come.
    bool Aborting() const;

    // Waits until no job is queued or under way, or until the deadline;
    // true when idle.
    bool WaitIdle(TTime deadline);
    // Ends the thread: the mail under way is aborted and fails, and every
    // mail still queued is reported as not sent. A later Post is reported at
    // once.
    void Stop();

private:
    void Run();

    TDeliver deliver_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<TAlertJob> jobs_;
    size_t reserved_ = 0;  // jobs claimed and not yet finished
    bool busy_ = false;    // a job is under way
    bool stopping_ = false;
    bool stopped_ = false;
    TDBaseSocket* active_ = nullptr;
    std::thread thread_;
};

}  // namespace quorvel
