// The alert room: the mail thread's loop, the composition of each alert mail
// for the mail layer, and the outcome line of every mail.

#include "server/AlertMailer.h"

#include <deque>
#include <utility>

#include "mail/DMail.h"
#include "net/DBaseSocket.h"
#include "platform/SystemError.h"
#include "server/LogWriter.h"
#include "server/MessageCharset.h"
#include "server/ServerTexts.h"
#include "util/DString.h"
#include "util/ScopeExit.h"

namespace quorvel {

namespace {

// Why a mail failed, in the few words an operator acts on; plain ASCII, so
// that a script can read it beside the keyword.
std::string FailureCause(int32_t result, const TSMTPMail& mail) {
    // The TLS error itself is the line after the failure line.
    if (result == kMailTlsFailed) return "TLS failed";
    // A connect or mail deadline, STARTTLS missing.
    if (!mail.ErrorText().empty()) return mail.ErrorText();
    if (result == kMailNoConnection) {
        return mail.WinsockError() != 0 ? "cannot connect: " + platform::SystemErrorText(mail.WinsockError())
                                        : std::string("cannot connect");
    }
    static const struct {
        int32_t Result;
        const char* Cause;
    } kCauses[] = {{kMailGreetingRefused, "no greeting accepted"}, {kMailHelloRefused, "HELO/EHLO refused"},
                   {kMailAuthFailed, "login refused"},           {kMailFromRefused, "sender refused"},
                   {kMailRecipientRefused, "recipient refused"}, {kMailDataRefused, "DATA refused"},
                   {kMailMessageRefused, "message refused"},     {kMailNoServer, "no mail server"},
                   {kMailNoRecipient, "no recipient"},           {kMailNoSender, "no sender"}};
    for (const auto& known : kCauses) {
        if (known.Result == result) return known.Cause;
    }
    return "error " + std::to_string(result);
}

// The alert's body: the sender and its message (or a notice's lines), and
// what the storm guard held back before it.
void AddBody(TSMTPMail& mail, const TAlertJob& job, const THeldAlerts& held, TMailCharset charset) {
    mail.Body().push_back("");
    if (job.Notice) {
        for (const std::string& line : job.NoticeLines) mail.Body().push_back(MailText(line, false, charset));
    } else {
        mail.Body().push_back(MailText(job.Sender + " said", false, charset));
        mail.Body().push_back(MailText(job.Body, job.Utf8, charset));
    }
    if (held.Count == 0) return;
    mail.Body().push_back("");
    mail.Body().push_back(MailText(texts::kMailHeldCount + std::to_string(held.Count) + texts::kMailHeldFirst +
                                       FormatDateTimeText(held.First) + texts::kMailHeldLast +
                                       FormatDateTimeText(held.Last) + ")",
                                   false, charset));
}

}  // namespace

TAlertMailer::TAlertMailer(const TMailSettings& mail, TInstanceCounters& counters, TLogWriter& log)
    : mail_(mail), counters_(counters), log_(log), thread_([this](TWorkerThread::TLock& lock) { Run(lock); }) {}

TAlertMailer::~TAlertMailer() { Stop(); }

bool TAlertMailer::Reserve() {
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    return jobs_.Reserve();
}

void TAlertMailer::Unreserve() { Finished(); }

void TAlertMailer::Post(TAlertJob job) {
    {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        if (!stopped_ && !aborting_) {
            // Started with the first mail: most instances never send one. A
            // job that finds no thread waits for the stop, which reports it.
            thread_.StartLocked();
            jobs_.PushAnyway(std::move(job), 0);
            thread_.WakeLocked();
            return;
        }
    }
    Deliver(job, false);
    Finished();
}

void TAlertMailer::PostDiskWarning(const std::string& line) {
    if (!Reserve()) {
        TInstanceCounters::Add(counters_.MailsDroppedQueue);
        return;
    }
    TAlertJob job;
    job.Notice = true;
    job.Keyword = "MINFREEMB";
    job.Addresses = {mail_.MailToAddress};
    job.NoticeLines = {texts::kMailDiskLow, "", line};
    job.SubjectSuffix = texts::kMailDiskLowSubject;
    Post(std::move(job));
}

void TAlertMailer::Finished() {
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    jobs_.Release();
    if (jobs_.Used() == 0) thread_.NotifyIdleLocked();
}

void TAlertMailer::SetActive(TDBaseSocket* connection) {
    thread_.CheckOnThread("TAlertMailer::SetActive");
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    active_ = connection;
    // A mail that starts after the stop gave up fails at its connect.
    if (active_ != nullptr && aborting_) active_->Abort();
}

bool TAlertMailer::Aborting() {
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    return aborting_;
}

bool TAlertMailer::WaitIdle(TTime deadline) {
    return thread_.WaitIdle(deadline, [this] { return jobs_.Empty() && !busy_; });
}

void TAlertMailer::Stop() {
    {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        if (stopped_) return;
        aborting_ = true;
        if (active_ != nullptr) active_->Abort();
    }
    thread_.Stop(std::chrono::steady_clock::now());
    std::deque<TAlertJob> left;
    {
        std::lock_guard<std::mutex> lock(thread_.Mutex());
        stopped_ = true;
        while (!jobs_.Empty()) left.push_back(jobs_.Pop());
    }
    for (const TAlertJob& job : left) Deliver(job, false);
    std::lock_guard<std::mutex> lock(thread_.Mutex());
    jobs_.Release(jobs_.Used());
    thread_.NotifyIdleLocked();
}

void TAlertMailer::Run(TWorkerThread::TLock& lock) {
    for (;;) {
        while (!thread_.StoppingLocked() && jobs_.Empty()) thread_.SleepLocked(lock, TTime::max());
        if (thread_.StoppingLocked()) return;
        TAlertJob job = jobs_.Pop();
        busy_ = true;
        lock.unlock();
        try {
            Deliver(job, true);
        } catch (...) {
            // Deliver reports each mail itself; nothing may end the thread.
        }
        lock.lock();
        busy_ = false;
        jobs_.Release();
        if (jobs_.Empty()) thread_.NotifyIdleLocked();
    }
}

void TAlertMailer::Deliver(const TAlertJob& job, bool send) {
    for (size_t i = 0; i < job.Addresses.size(); ++i) {
        const std::string& address = job.Addresses[i];
        std::string line = mail_.MailServer + texts::kLogMailTo + address;
        bool sent = false;
        std::string reason;
        // A stop is named as such: a mail it cut short must not read as a
        // refusal by the server.
        std::string cause = "not sent: the service stopped";
        if (send && !Aborting()) {
            try {
                sent = SendOne(job, address, i < job.Held.size() ? job.Held[i] : THeldAlerts{}, reason, cause) == 0;
            } catch (...) {
                sent = false;
                cause = "internal error";
            }
            if (!sent && Aborting()) cause = "cut short by the stop";
        }
        if (sent) {
            line += texts::kLogMailSent + job.Keyword + ")";
            TInstanceCounters::Add(counters_.MailsSent);
        } else {
            line += texts::kLogMailFailed + ("(" + job.Keyword + ") (" + cause + ")");
            TInstanceCounters::Add(counters_.MailsFailed);
        }
        try {
            log_.LogOperation(line, "");
            if (!reason.empty()) log_.LogOperation(reason, "");
        } catch (...) {
        }
    }
}

int32_t TAlertMailer::SendOne(const TAlertJob& job, const std::string& address, const THeldAlerts& held,
                              std::string& reason, std::string& cause) {
    TSMTPMail mail;
    // Registered so that a stop can abort the mail from another thread.
    SetActive(&mail);
    const TScopeExit inactive([this] { SetActive(nullptr); });
    mail.SetServerName(mail_.MailServer);
    mail.SetPort(mail_.MailServerPort);
    mail.SetFromAddress(mail_.MailFromAddress);
    mail.SetToAddress(address);
    // The composer encodes the subject itself; an encoded word handed to it
    // would be split and encoded a second time when it is long.
    const TMailCharset charset = mail_.MailCharset;
    mail.SetCharset(charset);
    mail.SetSubject(MailText(mail_.MailSubject + job.SubjectSuffix, false, charset));
    mail.SetSMTPAuthType(mail_.MailServerSMTPAuth);
    mail.SetSMTPAuthAccount(mail_.SMTPAuthID);
    mail.SetSMTPAuthPassword(mail_.SMTPAuthPass);
    // AUTH is an extension of EHLO sessions (RFC 4954 section 4): servers
    // refuse it after HELO.
    if (mail_.MailServerSMTPAuth != SA_NONE) mail.SetStartCommandType(SC_EHLO);
    mail.SetX_Mailer("Quorvel Service");
    mail.SetTlsMode(mail_.MailTls);
    mail.SetTlsVerify(mail_.MailTlsVerify);
    mail.SetTlsCaFile(mail_.MailTlsCaFile);
    mail.SetMailTimeout(mail_.MailTimeout);
    AddBody(mail, job, held, charset);
    const int32_t result = mail.SendMail();
    if (result != kMailSent) cause = FailureCause(result, mail);
    if (result == kMailStartTlsFailed) {
        reason = texts::kLogMailStartTlsMissing;
    } else if (result == kMailTlsFailed) {
        reason = texts::kLogMailTlsFailed + mail.ErrorText();
    } else if (result != 0 && !mail.ErrorText().empty()) {
        reason = texts::kLogMailTimedOut + mail.ErrorText();
    }
    return result;
}

}  // namespace quorvel
