#pragma once
// One syslog instance: its settings and its two log files.
// Worker thread only (the server runs all instances on one thread), unless a
// member says otherwise. The log files are written by the instance's writer
// thread and alert mails sent by its mail thread, so that reception never
// waits on either.

#include <array>
#include <chrono>
#include <climits>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/MessageQueue.h"
#include "platform/UdpSocket.h"
#include "server/AlertMailer.h"
#include "server/AlertThrottle.h"
#include "server/InstanceCounters.h"
#include "server/LogRetention.h"
#include "server/LogWriter.h"
#include "server/Settings.h"
#include "server/tcp/StreamReception.h"
#include "util/MailTypes.h"

namespace quorvel {

// Socket notifications of an instance: the message number names the family of
// the socket that became readable.
inline constexpr unsigned WM_SYSLOG_IPV4 = 1228;
inline constexpr unsigned WM_SYSLOG_IPV6 = 1328;

// The largest datagram one read accepts; a longer one is a failed read.
inline constexpr size_t kReceiveBufferSize = 32769;

// The socket receive buffer asked for: room for a burst while the worker
// serves another instance.
inline constexpr int kSocketReceiveBuffer = 8 << 20;

// How long a stop may wait for the lines and mails still queued: the mails
// get all but the last few seconds, the lines the rest.
inline constexpr std::chrono::milliseconds kStopGrace{8000};
inline constexpr std::chrono::milliseconds kStopWriteReserve{3000};

// Process-wide lookup of the address resolution that the IPv4/IPv6 binding
// needs, as platform::LoadAddressResolver reports it. Called
// by the server's start before any instance starts (and UnloadAddrInfo after
// every instance has stopped); without it instances bind IPv4 only. The
// loader is the system's unless a test forces another answer.
platform::ResolverStatus LoadAddrInfo(
    const std::function<platform::ResolverStatus()>& loader = platform::LoadAddressResolver);
void UnloadAddrInfo();
// True between a LoadAddrInfo that found both calls and the next UnloadAddrInfo.
bool AddrInfoLoaded();

// Stream reception hands its messages in through the TStreamSink side: the
// lines of the same layout, but held back rather than dropped when the
// queue is full, while the streams are paused.
class TSyslogService : private TStreamSink {
public:
    using TClock = std::function<platform::LocalTime()>;

    TSyslogService();
    ~TSyslogService() override;
    TSyslogService(const TSyslogService&) = delete;
    TSyslogService& operator=(const TSyslogService&) = delete;

    // --- Settings (filled whole by TSysLogServer::LoadConfig before the
    // start; only read afterwards, by every thread of the instance) ---
    TReceptionSettings Reception;
    TFileSettings Files;
    TMailSettings Mail;

    // Source of every timestamp and dated file name; tests put a fixed date here.
    TClock Clock = platform::LocalNow;
    // Measures the storm guard's interval, immune to changes of the wall clock.
    std::function<TAlertThrottle::TTimePoint()> SteadyClock = std::chrono::steady_clock::now;

    // Where an operation-log line goes when its file cannot take it (a full
    // disk, a refused path): the system log, so that the failure is seen
    // somewhere. Called on the log writer's thread; none: only counted. Set
    // before the first line is written.
    void SetOperationLogFallback(std::function<void(const std::string& text)> fallback);
    // The system-log entry of a logs folder whose free space fell below
    // Files.Retention.MinFreeMB (the operation-log line's text). Called on
    // the housekeeping thread; set before the start.
    std::function<void(const std::string& text)> DiskLowEvent;

    // What the instance has done since its start; read from any thread.
    TInstanceCounters Counters;

    // When a stop must be over; unset, StopListening allows kStopGrace.
    // The server sets one deadline for every instance.
    std::chrono::steady_clock::time_point StopDeadline{};

    // --- Listener sockets (worker thread: the thread whose message queue
    // delivers the notifications) ---

    // Opens, binds and registers the instance's socket or sockets with the
    // calling thread's message queue; every step goes to the operation log.
    // True when every socket was opened, bound and registered. A failed start
    // keeps what it opened until StopListening or the instance's end.
    bool StartListening();
    // Why the last StartListening failed, in English for the console (the
    // step, the address and port, the system's reason); empty after a start
    // that worked.
    std::string StartFailure;
    // Where the last StartListening bound, for the console: "0.0.0.0 port
    // 514 (IPv4), [::] port 514 (IPv6)".
    std::string ListeningOn;
    // What the last StartListening warned of in the operation log, in
    // English for the console: a password sent in plain text, a receive
    // buffer smaller than asked for.
    std::vector<std::string> StartWarnings;
    // Unregisters and closes the instance's sockets, lets the queued lines
    // and alert mails go out until StopDeadline (a mail still under way when
    // its time is up is aborted and reported as not sent), logs the stop
    // (and the totals, with a StatsInterval) and ends the writer; always
    // true. A second call finds nothing left to release.
    bool StopListening();

    // --- Reception ---

    // The notification handler: on a read event of WM_SYSLOG_IPV4 /
    // WM_SYSLOG_IPV6 reads the datagrams waiting, platform::kMaxBatch at
    // most, and handles each as ProcessMessage does, in arrival order.
    // Nothing escapes it; a failure becomes one operation-log line.
    void HandleSocketMessage(unsigned number, int64_t param1, int64_t param2);
    // Queues the received-message log line, then the keyword alert. The
    // sender is the raw text: dotted IPv4 or eight groups of four hex digits.
    // A line that cannot be built is rethrown after the keyword check.
    void ProcessMessage(std::string_view message, std::string_view sender);

    // Safe from any thread: waits until every line and alert mail handed
    // over so far is written or sent (or given up), or until the deadline;
    // true when nothing is left.
    bool Flush(std::chrono::steady_clock::time_point deadline);
    bool Flush() { return Flush(std::chrono::steady_clock::now() + std::chrono::seconds(60)); }

    // Counts a datagram or connection from a sender ALLOWEDSENDERS does not
    // name (datagrams: Counters.SendersRefused) and writes at most one
    // operation-log line a minute, naming the last such sender and how many
    // came since the line before.
    void NoteRefusedSender(std::string_view rawSender, bool datagram);

    // The statistics lines carry the stream and allow-list counts.
    bool HasStreamCounts() const;

    // Run-time fields. Socket4/Socket6 are the sockets the handler reads for
    // each message number (the last one opened of the family); NotifyWindow
    // is the message queue the sockets are registered with.
    int Socket4 = platform::kNoSocket;
    int Socket6 = platform::kNoSocket;
    platform::MessageQueue* NotifyWindow = nullptr;

    // --- Log files ---

    // %Y, %M and %D (any letter case) become the year, the two-digit month and
    // the two-digit day of the local date; a pattern without "%" is returned
    // as it is without reading the clock.
    std::string ExpandLogFileName(std::string_view pattern) const;

    // Drops NUL bytes and replaces bytes 1 to 31 with Files.CnvCtrlCode.
    std::string ConvertControlCodes(std::string_view text) const;

    // Queues one line for a received message in the Files.LogType layout
    // with the Files.LogRCode line end. A failed write, a file locked through every attempt,
    // a refused path (a symbolic link, a folder) and a full queue are counted
    // and reported by the writer.
    void WriteReceivedLog(std::string_view message, std::string_view sender);

    // Safe from any thread: queues "date time detail message" and CR LF for
    // the operation log; a line its file does not take goes to
    // the operation-log fallback with the reason. Throws only what the clock throws.
    void WriteOperationLog(std::string_view message, std::string_view detail);

    // --- Keyword alerts ---

    // Queues one alert mail to each address of the first keyword of
    // Mail.KeywordList found in the message, to go out once the lines queued
    // before it are written. The message is the received text before
    // ConvertControlCodes. With the storm guard on, an address mailed for
    // this keyword within the interval gets no mail: the match is counted
    // (Counters.MailsHeld), the first one of an interval logged, and the next
    // mail tells how many were held. Held matches take no room in the queue.
    // A match that finds the mail queue full is held the same way (without
    // the guard it is counted as not queued), and starts no interval.
    void CheckKeywords(std::string_view message, std::string_view sender);

    // The start-up warning when the SMTP password would cross the network
    // readable (AUTH without TLS to a server that is not this machine).
    bool PasswordInClear() const;

    // Where the first keyword of the list occurs in the message, or nullptr.
    // Only the text before the first NUL is searched, and an occurrence that
    // starts on the trail byte of a Shift_JIS character does not count.
    static const TKeyword* FindKeyword(const TKeywordList& keywords, std::string_view message);

private:
    // The date and time texts of the clock's current second and the
    // received-message log they name: read once per second, not per line.
    struct TStamp {
        long long Second = LLONG_MIN;  // of the system clock; LLONG_MIN when not from it
        platform::LocalTime Local;
        std::string Date;  // yyyy/mm/dd
        std::string Time;  // hh:mm:ss. (the milliseconds follow)
        std::string Path;
        std::string PathPattern;  // what Path was built from
        std::string PathFolder;
        uint64_t PathGeneration = 0;
    };

    // The operation-log texts of one way to listen, for each step that fails.
    struct TListenSteps {
        const char* SocketFailed;
        std::string BeforeBind;  // logged before the bind; empty: nothing
        const char* BindFailed;
        bool BindFailedCode;     // the bind's error code and ")" follow BindFailed
        const char* SelectFailed;  // the code and ")" follow
    };
    // Opens a socket of the family, binds it with bind and registers it; each
    // failure logged with the texts of steps, the first one noted for the
    // console.
    bool Listen(int family, const std::string& addressText, const TListenSteps& steps,
                const std::function<int(int socket)>& bind);
    bool OpenListener(const platform::BindAddress& address);
    bool StartIPv4Only();
    // The stream listeners and connections closed, the lines they held
    // handed over (while the deadline allows room for them).
    void StopStreams(std::chrono::steady_clock::time_point deadline);
    // The datagram sockets' last drop counts read, then unregistered and closed.
    void CloseDatagramSockets();
    // Binds every address the resolver gives for the bind address and port;
    // addresses receives them.
    bool StartDualStack(std::vector<platform::BindAddress>& addresses);
    // The TCP and TLS listeners on the addresses the datagrams use (IPv4
    // alone without dual).
    bool StartStreams(std::vector<platform::BindAddress> addresses, bool dual);
    // The receive buffer granted, and a warning when it is short of the one asked for.
    void NoteReceiveBuffer();
    void NoteFailure(const std::string& step, const std::string& address, int family, const std::string& reason);
    void NoteListening(const std::string& address, int family);
    int Register(int socket, unsigned number);
    void PrepareReceiveBuffers();
    void HandleRead(unsigned number, int socket);
    // One datagram of a batch: its line, then its keyword check.
    void HandleDatagram(const platform::DatagramSlot& slot, bool ipv6);
    // Makes rawSender_ and lineSender_ the texts of this sender.
    void NoteSender(const platform::SenderAddress& sender, bool ipv6);
    // An operation-log line whose failure is swallowed.
    void ReportQuietly(std::string_view text, std::string_view detail);
    bool IsOwnSocket(int socket) const;

    void OpenedSocket(int socket);
    void NoteKernelDrops(int socket, uint32_t count);
    // The milliseconds of the line's clock reading; stamp_ holds the rest.
    int ReadStamp();
    // Builds the line in lineBuffer_, after the lines already staged; they
    // are queued first when the file changes.
    void StageLine(std::string_view message, std::string_view sender, std::string_view rawSender);
    void FlushStaged();
    // Moves the staged lines from index `from` on into held_.
    void HoldStaged(size_t from);

    // TStreamSink
    void StreamMessage(std::string_view message, std::string_view lineSender, std::string_view rawSender) override;
    bool StreamReadDone() override;
    bool StreamRoomAgain() override;
    void StreamSenderRefused(std::string_view rawSender) override { NoteRefusedSender(rawSender, false); }
    void StreamLog(std::string_view text, std::string_view detail) override { WriteOperationLog(text, detail); }

    // Deletion and compression of old logs and the watch of the free space,
    // as Files.Retention asks (nothing when it asks for nothing).
    void StartHousekeeping();

    // The storm guard's word on each address of the match: the admitted go
    // into the alert, the held are counted (room: whether the mail queue had
    // room for the match).
    void GuardAddresses(const TKeyword& match, bool room, TAlertJob& alert);

    // ConvertControlCodes appended to out; doubleQuotes doubles every quote
    // of the text first (the CSV layout).
    void AppendConverted(std::string& out, std::string_view text, bool doubleQuotes) const;

    // Every socket the instance opened, so that all of them are closed even
    // when two addresses of one family were bound.
    std::vector<platform::SocketHandle> ownedSockets_;
    // The system's drop count last seen on each socket.
    std::vector<std::pair<int, uint32_t>> kernelDrops_;
    int grantedBuffer_ = 0;  // the smallest receive buffer granted, 0 when unknown

    // kMaxBatch buffers of kReceiveBufferSize, left untouched until a
    // datagram fills them, and their slots.
    std::unique_ptr<char[]> receiveBuffers_;
    std::array<platform::DatagramSlot, platform::kMaxBatch> slots_;
    // The sender of the datagram before, so that its texts are made once
    // per sender rather than once per datagram.
    platform::SenderAddress lastSender_;
    bool lastSenderIPv6_ = false;
    bool haveLastSender_ = false;
    std::string rawSender_;    // as read
    std::string lineSender_;   // as in the line (IPv6 shortened)

    TStamp stamp_;
    platform::WallTime batchTime_;  // of the batch being handled; zero between batches
    // Lines built and not yet handed to the writer: all for stagedPath_.
    std::string lineBuffer_;
    std::array<uint32_t, platform::kMaxBatch> lineEnds_{};
    size_t stagedCount_ = 0;
    uint64_t stagedGeneration_ = 0;
    std::string stagedPath_;
    std::string stagedSender_;

    // Stream lines the queue could not take yet, in order, per file.
    struct THeld {
        std::string Path;
        std::string Bytes;
        std::vector<uint32_t> Ends;
        std::string Sender;
        std::vector<TAlertJob> Alerts;  // of the last lines, to follow them
    };
    std::deque<THeld> held_;
    bool streamMode_ = false;  // staging for a stream: hold what does not fit
    bool senderAdmitted_ = true;  // of lastSender_
    // The allow-list's rate-limited report.
    std::chrono::steady_clock::time_point nextRefusedReport_{};
    uint64_t refusedSinceReport_ = 0;
    std::unique_ptr<TStreamReception> streams_;

    // The storm guard: decided here, on the worker, so that a held match
    // never takes room in the mail queue.
    TAlertThrottle mailThrottle_;

    // The two rooms with a thread of their own. The writer forwards alerts
    // to the mailer, the mailer logs through the writer; the instance only
    // hands work to them.
    std::unique_ptr<TLogWriter> writer_;
    std::unique_ptr<TAlertMailer> mailer_;
    // Reports through the writer and mails through the mailer: stopped
    // before both.
    std::unique_ptr<THousekeeper> housekeeper_;
};

}  // namespace quorvel
