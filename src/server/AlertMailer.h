#pragma once
// The alert room of one instance: its mail thread, the queue of alerts, the
// hand-off of each mail to the mail layer and the operation-log line of each
// outcome. The instance only posts alerts here (through its log writer, so
// that an alert goes out after its message's line) and is never called
// back. Safe from any thread unless a member says otherwise.

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "server/AlertThrottle.h"
#include "server/InstanceCounters.h"
#include "server/Settings.h"
#include "server/WorkerThread.h"

namespace quorvel {

class TDBaseSocket;
class TLogWriter;

// One message that matched a keyword: one mail to each address.
struct TAlertJob {
    std::string Body;     // the message after ConvertControlCodes
    bool Utf8 = false;    // Body is UTF-8 (MESSAGECHARSET), else Shift_JIS
    std::string Sender;   // as in the received-message line
    std::string Keyword;  // the keyword that matched
    std::vector<std::string> Addresses;
    // Per address, what the storm guard held back before this mail; empty
    // when the guard is off.
    std::vector<THeldAlerts> Held;
    // A notice of the server's own (the low-disk warning) rather than a
    // received message: its body is NoticeLines, SubjectSuffix follows the
    // configured subject, and Keyword names the notice in the outcome line.
    bool Notice = false;
    std::vector<std::string> NoticeLines;
    std::string SubjectSuffix;
};

class TAlertMailer {
public:
    using TTime = std::chrono::steady_clock::time_point;

    // Messages waiting for their mails, queued and under way together.
    static constexpr size_t kQueueLimit = 100;

    // mail, counters and log belong to the instance and outlive the mailer:
    // what to send and through which server, where the outcome is counted,
    // and the writer of the operation log that receives the outcome lines.
    TAlertMailer(const TMailSettings& mail, TInstanceCounters& counters, TLogWriter& log);
    ~TAlertMailer();
    TAlertMailer(const TAlertMailer&) = delete;
    TAlertMailer& operator=(const TAlertMailer&) = delete;

    // Claims room for one message before it is handed on; false when the
    // queue is full (the caller counts the mails as dropped).
    bool Reserve();
    // Gives back the room of a Reserve whose job will not come.
    void Unreserve();
    // Queues a job whose room Reserve claimed. Once stopped, the job is
    // reported as not sent at once, on the calling thread.
    void Post(TAlertJob job);
    // The low-disk warning mail to MAILTO, with the housekeeper's line;
    // counted as not queued when the queue is full.
    void PostDiskWarning(const std::string& line);

    // Waits until no job is queued or under way, or until the deadline;
    // true when idle.
    bool WaitIdle(TTime deadline);
    // Ends the thread: the mail under way is aborted and fails, and every
    // mail still queued is reported as not sent. A later Post is reported at
    // once.
    void Stop();

private:
    void Run(TWorkerThread::TLock& lock);
    // Sends (or, when send is false or the stop gave up on it, reports as
    // not sent) each mail of the alert, and logs each outcome in address
    // order.
    void Deliver(const TAlertJob& job, bool send);
    // Mail thread: one alert mail through the configured SMTP server; the
    // mail layer's result (0: delivered). A failure leaves its cause in
    // cause, and one caused by TLS or a time-out its operation-log line in
    // reason.
    int32_t SendOne(const TAlertJob& job, const std::string& address, const THeldAlerts& held, std::string& reason,
                    std::string& cause);
    // Mail thread: the connection a stop aborts while a mail is under way
    // (null when none is).
    void SetActive(TDBaseSocket* connection);
    bool Aborting();
    void Finished();  // a job's room is free again

    const TMailSettings& mail_;
    TInstanceCounters& counters_;
    TLogWriter& log_;

    // Under the thread's lock. Bounded by the jobs claimed and not yet
    // finished, not only by those queued.
    TBoundedQueue<TAlertJob> jobs_{kQueueLimit};
    bool busy_ = false;      // a job is under way
    bool aborting_ = false;  // the stop gave up on the mails to come
    bool stopped_ = false;
    TDBaseSocket* active_ = nullptr;

    // Last: the thread ends before the members it uses.
    TWorkerThread thread_;
};

}  // namespace quorvel
