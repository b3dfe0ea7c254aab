// One syslog instance on the worker thread: its listener sockets, the
// batched read of datagrams, the received-message lines built in place, and
// the keyword check that hands alerts on to the mailer.

#include "server/SyslogServer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/SystemError.h"
#include "platform/TcpSocket.h"
#include "platform/TextEncoding.h"
#include "server/LogFile.h"
#include "server/MessageCharset.h"
#include "server/SenderText.h"
#include "server/ServerTexts.h"
#include "server/Statistics.h"
#include "util/Buffers.h"
#include "util/Chars.h"
#include "util/DString.h"
#include "util/ScopeExit.h"
#include "util/Utf8Text.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

std::string_view LineEnd(TLogRCode code) {
    switch (code) {
        case rcCRLF: return "\r\n";
        case rcCR: return "\r";
        case rcLF: return "\n";
    }
    return {};
}

// Written by the server's start before any instance starts, read afterwards
// on the same worker thread.
bool addrInfoLoaded = false;

constexpr uint64_t kEveryByte = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// True when one of the eight bytes is a control byte (below 0x20) or, when
// quotes count, a quote. Exact: the subtraction tricks never miss a byte,
// and a false alarm only sends the word through the byte loop.
bool NeedsChange8(const char* bytes, bool quotes) {
    uint64_t x;
    std::memcpy(&x, bytes, sizeof x);
    uint64_t hit = (x - 0x20 * kEveryByte) & ~x & kHighBits;
    if (quotes) {
        const uint64_t q = x ^ ('"' * kEveryByte);
        hit |= (q - kEveryByte) & ~q & kHighBits;
    }
    return hit != 0;
}

}  // namespace

platform::ResolverStatus LoadAddrInfo(const std::function<platform::ResolverStatus()>& loader) {
    const platform::ResolverStatus result = loader ? loader() : platform::ResolverStatus::NoLibrary;
    addrInfoLoaded = result == platform::ResolverStatus::Loaded;
    return result;
}

void UnloadAddrInfo() {
    if (addrInfoLoaded) platform::UnloadAddressResolver();
    addrInfoLoaded = false;
}

bool AddrInfoLoaded() { return addrInfoLoaded; }

TSyslogService::TSyslogService()
    : writer_(std::make_unique<TLogWriter>(Counters, Files, Clock,
                                           [&mailer = mailer_](TAlertJob alert) { mailer->Post(std::move(alert)); })),
      mailer_(std::make_unique<TAlertMailer>(Mail, Counters, *writer_)),
      housekeeper_(std::make_unique<THousekeeper>()) {}

void TSyslogService::SetOperationLogFallback(std::function<void(const std::string& text)> fallback) {
    writer_->OperationLost = std::move(fallback);
}

// The sockets close with ownedSockets_. The queue is not touched here: it may
// already be gone (a failed start ends the worker before the server), and a
// closed descriptor leaves the readiness set by itself. The threads end
// before the members they use.
TSyslogService::~TSyslogService() {
    housekeeper_->Stop();
    mailer_->Stop();
    writer_->Stop(std::chrono::steady_clock::now() + std::chrono::seconds(2));
}

// ---- Listener sockets ----

// 0, the system's error code, or -1 on a thread without a queue.
int TSyslogService::Register(int socket, unsigned number) {
    if (NotifyWindow == nullptr) return -1;
    return NotifyWindow->RegisterSocket(
        socket, number, [this](unsigned n, int64_t p1, int64_t p2) { HandleSocketMessage(n, p1, p2); });
}

void TSyslogService::NoteFailure(const std::string& step, const std::string& address, int family,
                                 const std::string& reason) {
    // Only the first failure of a start: the later ones follow from it.
    if (!StartFailure.empty()) return;
    const std::string shown = family == platform::kFamilyIPv6 ? "[" + address + "]" : address;
    StartFailure = step + " " + shown + " port " + std::to_string(Reception.SysLogPort) +
                   (family == platform::kFamilyIPv6 ? " (IPv6)" : " (IPv4)") + ": " + reason;
}

void TSyslogService::NoteListening(const std::string& address, int family) {
    if (!ListeningOn.empty()) ListeningOn += ", ";
    ListeningOn += (family == platform::kFamilyIPv6 ? "[" + address + "]" : address) + " port " +
                   std::to_string(Reception.SysLogPort) + (family == platform::kFamilyIPv6 ? " (IPv6)" : " (IPv4)");
}

bool TSyslogService::Listen(int family, const std::string& addressText, const TListenSteps& steps,
                            const std::function<int(int socket)>& bind) {
    platform::SocketHandle owned;
    if (const int error = platform::CreateUdpSocket(family, owned); error != 0) {
        WriteOperationLog(steps.SocketFailed, "");
        NoteFailure("cannot open a UDP socket for", addressText, family, platform::SystemErrorText(error));
        return false;
    }
    const int socket = owned.Get();
    ownedSockets_.push_back(std::move(owned));
    (family == platform::kFamilyIPv4 ? Socket4 : Socket6) = socket;
    OpenedSocket(socket);
    if (!steps.BeforeBind.empty()) WriteOperationLog(steps.BeforeBind, "");
    if (const int error = bind(socket); error != 0) {
        WriteOperationLog(steps.BindFailedCode ? steps.BindFailed + std::to_string(error) + ")" : steps.BindFailed,
                          "");
        NoteFailure("cannot bind to", addressText, family, platform::SystemErrorText(error));
        return false;
    }
    if (const int error = Register(socket, family == platform::kFamilyIPv4 ? WM_SYSLOG_IPV4 : WM_SYSLOG_IPV6);
        error != 0) {
        WriteOperationLog(steps.SelectFailed + std::to_string(error) + ")", "");
        NoteFailure("cannot watch the socket of", addressText, family, platform::SystemErrorText(error));
        return false;
    }
    NoteListening(addressText, family);
    return true;
}

bool TSyslogService::OpenListener(const platform::BindAddress& address) {
    // sockaddr_in is 16 bytes, sockaddr_in6 28: the length tells the family.
    const bool ipv4 = address.SockAddr.size() <= 16;
    WriteOperationLog(ipv4 ? texts::kLogBindFromIPv4 : texts::kLogBindFromIPv6, "");
    const TListenSteps steps{ipv4 ? texts::kLogIPv4SocketFailed : texts::kLogIPv6SocketFailed, {},
                             ipv4 ? texts::kLogIPv4BindFailed : texts::kLogIPv6BindFailed, false,
                             ipv4 ? texts::kLogIPv4SelectFailed : texts::kLogIPv6SelectFailed};
    return Listen(ipv4 ? platform::kFamilyIPv4 : platform::kFamilyIPv6, platform::BindAddressText(address), steps,
                  [&address](int socket) { return platform::BindUdp(socket, address); });
}

bool TSyslogService::StartIPv4Only() {
    WriteOperationLog(texts::kLogBindStartIPv4Only, "");
    uint32_t address = 0;
    if (IsIPv4Address(Reception.ServerIPAddress)) {
        for (int part : SplitIPv4Address(Reception.ServerIPAddress)) address = address << 8 | (static_cast<uint32_t>(part) & 0xFF);
    }
    const std::string addressText = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) +
                                    "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
    const TListenSteps steps{texts::kLogSocketFailed, texts::kLogBindPort + std::to_string(Reception.SysLogPort),
                             texts::kLogBindFailed, true, texts::kLogSelectFailed};
    const uint16_t port = static_cast<uint16_t>(Reception.SysLogPort & 0xFFFF);
    return Listen(platform::kFamilyIPv4, addressText, steps,
                  [address, port](int socket) { return platform::BindIPv4(socket, address, port); });
}

void TSyslogService::OpenedSocket(int socket) {
    const int granted = platform::SetReceiveBuffer(socket, kSocketReceiveBuffer);
    if (granted > 0 && (grantedBuffer_ == 0 || granted < grantedBuffer_)) grantedBuffer_ = granted;
    // Datagrams the system drops for want of room would otherwise leave no
    // trace at all.
    if (platform::EnableDropCount(socket)) kernelDrops_.emplace_back(socket, 0);
}

bool TSyslogService::StartListening() {
    NotifyWindow = platform::MessageQueue::Current();
    grantedBuffer_ = 0;
    StartFailure.clear();
    ListeningOn.clear();
    StartWarnings.clear();
    if (PasswordInClear()) {
        WriteOperationLog(texts::kLogPlainPassword, "");
        StartWarnings.push_back("SMTPTLS=NONE: the SMTPAUTH password crosses the network unencrypted; "
                                "set SMTPTLS=STARTTLS or TLS");
    }
    const bool dual = AddrInfoLoaded();
    std::vector<platform::BindAddress> addresses;
    bool result = dual ? StartDualStack(addresses) : StartIPv4Only();
    if (result && Reception.Streams()) result = StartStreams(std::move(addresses), dual);
    if (result) {
        NoteReceiveBuffer();
        WriteOperationLog(texts::kLogServiceStarted, "");
        if (dual) WriteOperationLog(texts::kLogIPv6Enabled, "");
        StartHousekeeping();
    } else {
        WriteOperationLog(texts::kLogServiceStartFailed, "");
    }
    return result;
}

bool TSyslogService::StartDualStack(std::vector<platform::BindAddress>& addresses) {
    WriteOperationLog(texts::kLogBindStartDual, "");
    const std::string port = std::to_string(Reception.SysLogPort);
    WriteOperationLog(texts::kLogBindPort + port, "");
    const int rc = platform::ResolvePassive(Reception.ServerIPAddress, port, addresses);
    bool result = true;
    if (rc != 0 || addresses.empty()) {
        // Nothing to bind would otherwise pass for a successful start.
        WriteOperationLog(texts::kLogResolveFailed + std::to_string(rc) + ")", "");
        StartFailure = "cannot resolve the address \"" + Reception.ServerIPAddress + "\" (port " + port + "): " +
                       (rc != 0 ? platform::ResolveErrorText(rc) : std::string("no address to bind"));
        result = false;
    }
    for (const platform::BindAddress& address : addresses) {
        if (!OpenListener(address)) result = false;
    }
    return result;
}

bool TSyslogService::StartStreams(std::vector<platform::BindAddress> addresses, bool dual) {
    // Streams follow the same rule: IPv4 alone without the resolver's IPv6
    // support.
    if (!dual && platform::ResolvePassive(Reception.ServerIPAddress, std::to_string(Reception.SysLogPort), addresses) == 0) {
        addresses.erase(std::remove_if(addresses.begin(), addresses.end(),
                                       [](const platform::BindAddress& a) { return a.Family != platform::kFamilyIPv4; }),
                        addresses.end());
    }
    streams_ = std::make_unique<TStreamReception>(Reception, kReceiveBufferSize, Counters,
                                                  static_cast<TStreamSink&>(*this));
    if (NotifyWindow == nullptr || !streams_->Start(*NotifyWindow, addresses, &StartFailure, &ListeningOn)) {
        if (StartFailure.empty()) StartFailure = "no message queue for TCP or TLS";
        return false;
    }
    return true;
}

void TSyslogService::NoteReceiveBuffer() {
    if (grantedBuffer_ <= 0) return;
    WriteOperationLog(texts::kLogReceiveBufferSize + std::to_string(grantedBuffer_) + texts::kLogCountBytes, "");
    // A service that is not root gets at most the system's cap, and a
    // burst the buffer cannot hold is lost before it is read.
    if (grantedBuffer_ >= kSocketReceiveBuffer) return;
    const std::string granted = std::to_string(grantedBuffer_), asked = std::to_string(kSocketReceiveBuffer);
    WriteOperationLog(texts::kLogReceiveBufferShort + granted + texts::kLogReceiveBufferAsked + asked +
                          texts::kLogReceiveBufferHint + asked + ")",
                      "");
    StartWarnings.push_back("receive buffer of " + granted + " bytes granted, " + asked +
                            " asked for: raise net.core.rmem_max (sysctl -w net.core.rmem_max=" + asked + ")");
}

bool TSyslogService::StopListening() {
    // A compression under way is abandoned: its original stays as it was.
    housekeeper_->Stop();
    using std::chrono::steady_clock;
    const steady_clock::time_point deadline =
        StopDeadline != steady_clock::time_point{} ? StopDeadline : steady_clock::now() + kStopGrace;
    StopStreams(deadline);
    // No alert after the stop; only this thread reads the keywords.
    Mail.KeywordList.clear();
    CloseDatagramSockets();
    FlushStaged();
    // The lines queued go first, their alert mails while there is time; the
    // last seconds are kept for the lines those mails log.
    Flush(deadline - kStopWriteReserve);
    mailer_->Stop();
    WriteOperationLog(texts::kLogServiceStopped, "");
    // The lines and mails are through (or given up) by now, so these are the
    // run's totals; queued while the writer still takes lines.
    if (Files.StatsInterval > 0) {
        WriteOperationLog(FormatStatisticsLine(Counters.Snapshot(), true, HasStreamCounts()), "");
    }
    writer_->Stop(deadline);
    return true;
}

void TSyslogService::StopStreams(std::chrono::steady_clock::time_point deadline) {
    // The connections' last messages still get their alerts.
    if (streams_) {
        streams_->Stop();
        streams_.reset();
    }
    // Held stream lines wait for room while the stop allows; only then are
    // they dropped and counted as a full queue's lines are.
    while (!held_.empty() && !StreamRoomAgain() && std::chrono::steady_clock::now() < deadline - kStopWriteReserve) {
        platform::SleepMilliseconds(20);
    }
    for (THeld& h : held_) {
        writer_->Push(TLogWriter::qkReceived, h.Path, h.Bytes, h.Ends.data(), h.Ends.size(), h.Sender);
        for (TAlertJob& alert : h.Alerts) writer_->PushAlert(std::move(alert));
    }
    held_.clear();
}

void TSyslogService::CloseDatagramSockets() {
    // The last drops of a burst that no datagram followed.
    for (const auto& entry : kernelDrops_) {
        const long long now = platform::DropCountNow(entry.first);
        if (now >= 0) NoteKernelDrops(entry.first, static_cast<uint32_t>(now));
    }
    for (platform::SocketHandle& socket : ownedSockets_) {
        if (NotifyWindow != nullptr) NotifyWindow->UnregisterSocket(socket.Get());
    }
    // Closed one by one: there is no process-wide socket clean-up to do it.
    ownedSockets_.clear();
    kernelDrops_.clear();
    Socket4 = platform::kNoSocket;
    Socket6 = platform::kNoSocket;
    NotifyWindow = nullptr;
}

// ---- Reception ----

bool TSyslogService::IsOwnSocket(int socket) const {
    for (const platform::SocketHandle& own : ownedSockets_) {
        if (own.Get() == socket) return true;
    }
    return false;
}

void TSyslogService::HandleSocketMessage(unsigned number, int64_t param1, int64_t param2) {
    if (number != WM_SYSLOG_IPV4 && number != WM_SYSLOG_IPV6) return;
    if ((param2 & 0xFFFF) != platform::kSocketRead) return;
    // Each socket is read on its own notification. With a level-triggered
    // readiness report, reading another socket of the family instead would
    // leave the notified one full and reported for ever.
    int socket = number == WM_SYSLOG_IPV4 ? Socket4 : Socket6;
    if (param1 >= 0 && param1 <= INT32_MAX && IsOwnSocket(static_cast<int>(param1))) socket = static_cast<int>(param1);
    try {
        HandleRead(number, socket);
    } catch (...) {
        // Nothing may leave the handler: the message loop would end with it.
    }
}

void TSyslogService::NoteKernelDrops(int socket, uint32_t count) {
    for (auto& entry : kernelDrops_) {
        if (entry.first != socket) continue;
        // The system's figure is a running 32-bit count: the difference
        // survives its wrap.
        const uint32_t grown = count - entry.second;
        entry.second = count;
        if (grown > 0) TInstanceCounters::Add(Counters.DroppedKernel, grown);
        return;
    }
}

void TSyslogService::PrepareReceiveBuffers() {
    if (receiveBuffers_) return;
    // Left uninitialised on purpose: a page counts only once a datagram
    // has touched it.
    receiveBuffers_.reset(new char[kReceiveBufferSize * platform::kMaxBatch]);
    for (size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].Buffer = receiveBuffers_.get() + i * kReceiveBufferSize;
        slots_[i].Size = kReceiveBufferSize;
    }
}

void TSyslogService::HandleRead(unsigned number, int socket) {
    PrepareReceiveBuffers();
    const bool ipv6 = number == WM_SYSLOG_IPV6;
    const platform::BatchResult batch = platform::ReceiveDatagrams(socket, slots_.data(), platform::kMaxBatch);
    if (batch.HaveDropCount) NoteKernelDrops(socket, batch.DropCount);
    if (batch.Filled == 0) {
        // A readiness report whose datagram was dropped on its checksum before
        // the read: nothing was received, nothing is lost.
        if (batch.NothingWaiting) return;
        std::string sender;
        AppendSenderText(sender, platform::SenderAddress{}, ipv6);
        WriteOperationLog(texts::kLogReadFailed, sender + " " + std::to_string(batch.Error));
        return;
    }
    batchTime_ = platform::WallNow();
    const TScopeExit endOfBatch([this] { batchTime_ = platform::WallTime{}; });
    for (int i = 0; i < batch.Filled; ++i) HandleDatagram(slots_[static_cast<size_t>(i)], ipv6);
    FlushStaged();
    // A batch that emptied the socket means datagrams come slower than they
    // are read: a short nap lets the next ones gather, so that the worker
    // wakes once per millisecond rather than once per datagram. Only with a
    // buffer that holds far more than a millisecond of any flood.
    if (batch.Filled < platform::kMaxBatch && grantedBuffer_ >= kSocketReceiveBuffer / 2) {
        platform::SleepMilliseconds(1);
    }
}

void TSyslogService::NoteSender(const platform::SenderAddress& sender, bool ipv6) {
    // The texts are made once per sender rather than once per datagram.
    if (haveLastSender_ && ipv6 == lastSenderIPv6_ && sender.Family == lastSender_.Family &&
        sender.Bytes == lastSender_.Bytes) {
        return;
    }
    rawSender_.clear();
    AppendSenderText(rawSender_, sender, ipv6);
    lineSender_ = LineSenderText(rawSender_);
    senderAdmitted_ = Reception.AllowedSenders.Admits(sender.Family, sender.Bytes.data());
    lastSender_ = sender;
    lastSenderIPv6_ = ipv6;
    haveLastSender_ = true;
}

void TSyslogService::ReportQuietly(std::string_view text, std::string_view detail) {
    try {
        WriteOperationLog(text, detail);
    } catch (...) {
    }
}

void TSyslogService::HandleDatagram(const platform::DatagramSlot& slot, bool ipv6) {
    // The datagrams are read already: a failure with one of them must not
    // cost the rest of the batch, so every report here swallows its own.
    NoteSender(slot.Sender, ipv6);
    if (!senderAdmitted_) {
        try {
            NoteRefusedSender(rawSender_, true);
        } catch (...) {
        }
        return;
    }
    if (slot.Truncated) {
        TInstanceCounters::Add(Counters.Received);
        TInstanceCounters::Add(Counters.Oversized);
        ReportQuietly(texts::kLogReadFailed, rawSender_ + " " + std::to_string(platform::MessageTooLongError()));
        return;
    }
    // An empty datagram carries nothing to log: as if it never came.
    if (slot.Count <= 0) return;
    TInstanceCounters::Add(Counters.Received);
    const std::string_view message(slot.Buffer, static_cast<size_t>(slot.Count));
    try {
        StageLine(message, lineSender_, rawSender_);
    } catch (...) {
        ReportQuietly(texts::kLogProcessingFailed + std::to_string(platform::CurrentExceptionCode()) + ")", rawSender_);
        // Counted with the lines that did not reach their file, so that
        // every datagram received is accounted for; after the line above,
        // so that the writer's count of it comes later.
        TInstanceCounters::Add(Counters.DroppedWriteFailed);
    }
    // A message whose line could not be built or written is still looked
    // at: a full disk must not silence its alert.
    try {
        CheckKeywords(message, lineSender_);
    } catch (...) {
        ReportQuietly(texts::kLogProcessingFailed + std::to_string(platform::CurrentExceptionCode()) + ")", rawSender_);
    }
}

void TSyslogService::ProcessMessage(std::string_view message, std::string_view sender) {
    std::string normalised;
    if (AddressKind(sender) == akIPv6) {
        normalised = LineSenderText(std::string(sender));
        sender = normalised;
    }
    std::exception_ptr failure;
    try {
        StageLine(message, sender, sender);
    } catch (...) {
        failure = std::current_exception();
    }
    FlushStaged();
    CheckKeywords(message, sender);
    if (failure) std::rethrow_exception(failure);
}

bool TSyslogService::Flush(std::chrono::steady_clock::time_point deadline) {
    // The writer hands the alerts on, the mail thread logs their outcome,
    // and the writer writes that: idle in this order means nothing is left.
    return writer_->WaitIdle(deadline) && mailer_->WaitIdle(deadline) && writer_->WaitIdle(deadline);
}

// ---- Log files ----

std::string TSyslogService::ExpandLogFileName(std::string_view pattern) const {
    if (pattern.find('%') == std::string_view::npos) return std::string(pattern);
    std::string name;
    name.reserve(pattern.size() + 8);
    AppendExpandedName(name, pattern, Clock());
    return name;
}

std::string TSyslogService::ConvertControlCodes(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    AppendConverted(out, text, false);
    return out;
}

void TSyslogService::AppendConverted(std::string& out, std::string_view text, bool doubleQuotes) const {
    // Doubling the quotes first and converting afterwards, in one pass: a
    // quote is no control byte, and the quotes of Files.CnvCtrlCode stay single.
    // Runs of bytes that stay as they are go over in one piece.
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        // Whole words of eight bytes that need no change go by at once.
        while (i + 8 <= text.size() && !NeedsChange8(text.data() + i, doubleQuotes)) i += 8;
        if (i >= text.size()) break;
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b >= 32 && (b != '"' || !doubleQuotes)) continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        if (b == '"') {
            out += "\"\"";
        } else if (b != 0) {
            out += Files.CnvCtrlCode;
        }
    }
    out.append(text.data() + run, text.size() - run);
}

int TSyslogService::ReadStamp() {
    int millisecond = 0;
    // The system clock is broken down once per second; a clock put in by a
    // test is read for every line, as it may change at any time.
    const auto* system = Clock.target<platform::LocalTime (*)()>();
    bool changed = false;
    if (system != nullptr && *system == &platform::LocalNow) {
        // The datagrams of one batch read came in together: one reading.
        const platform::WallTime wall = batchTime_.Seconds != 0 ? batchTime_ : platform::WallNow();
        millisecond = wall.Millisecond;
        if (wall.Seconds != stamp_.Second) {
            stamp_.Local = platform::ToLocalTime(wall);
            stamp_.Second = wall.Seconds;
            changed = true;
        }
    } else {
        const platform::LocalTime now = Clock();
        millisecond = now.Millisecond;
        const platform::LocalTime& was = stamp_.Local;
        if (stamp_.Second != LLONG_MIN || stamp_.Date.empty() || now.Year != was.Year || now.Month != was.Month ||
            now.Day != was.Day || now.Hour != was.Hour || now.Minute != was.Minute || now.Second != was.Second) {
            stamp_.Local = now;
            stamp_.Second = LLONG_MIN;
            changed = true;
        }
    }
    if (changed) {
        const platform::LocalTime& t = stamp_.Local;
        stamp_.Date = DateText(t);
        stamp_.Time = ZeroPad2(t.Hour) + ":" + ZeroPad2(t.Minute) + ":" + ZeroPad2(t.Second) + ".";
    }
    // The line's own clock reading names the file, so a line stamped just
    // before midnight never lands in the next day's file.
    if (changed || stamp_.PathPattern != Files.RecvLogName || stamp_.PathFolder != Files.LogsFolder) {
        std::string path;
        BuildLogPath(path, Files.LogsFolder, Files.RecvLogName, stamp_.Local);
        stamp_.PathPattern = Files.RecvLogName;
        stamp_.PathFolder = Files.LogsFolder;
        if (path != stamp_.Path) {
            stamp_.Path = std::move(path);
            ++stamp_.PathGeneration;
        }
    }
    return millisecond;
}

void TSyslogService::StageLine(std::string_view message, std::string_view sender, std::string_view rawSender) {
    if (Files.LogType != ltMeta && Files.LogType != ltTab && Files.LogType != ltComma) return;
    const int millisecond = ReadStamp();
    if (stagedCount_ > 0 && (stagedCount_ == lineEnds_.size() || stagedGeneration_ != stamp_.PathGeneration)) {
        FlushStaged();
    }
    // Built straight into the buffer of the lines staged, whose capacity
    // serves every later datagram: the message is copied once.
    std::string& line = lineBuffer_;
    const size_t start = line.size();
    try {
        const char ms[3] = {static_cast<char>('0' + millisecond / 100 % 10), static_cast<char>('0' + millisecond / 10 % 10),
                            static_cast<char>('0' + millisecond % 10)};
        if (Files.LogType == ltComma) {
            line += '"';
            line += stamp_.Date;
            line += "\",\"";
            line += stamp_.Time;
            line.append(ms, 3);
            line += "\",\"";
            line += sender;
            line += "\",\"";
            AppendConverted(line, message, true);
            line += '"';
        } else {
            const char separator = Files.LogType == ltTab ? '\t' : ' ';
            line += stamp_.Date;
            line += separator;
            line += stamp_.Time;
            line.append(ms, 3);
            line += separator;
            line += sender;
            line += separator;
            AppendConverted(line, message, false);
        }
        line += LineEnd(Files.LogRCode);
    } catch (...) {
        line.resize(start);
        throw;
    }
    if (stagedCount_ == 0) {
        stagedGeneration_ = stamp_.PathGeneration;
        stagedPath_ = stamp_.Path;
        stagedSender_.assign(rawSender.data(), rawSender.size());
    }
    lineEnds_[stagedCount_++] = static_cast<uint32_t>(line.size());
}

void TSyslogService::FlushStaged() {
    if (stagedCount_ == 0) return;
    if (!streamMode_) {
        writer_->Push(TLogWriter::qkReceived, stagedPath_, lineBuffer_, lineEnds_.data(), stagedCount_, stagedSender_);
    } else {
        // Behind lines already held nothing may pass, or a connection's
        // lines would reach the file out of order.
        const size_t queued = held_.empty() ? writer_->Push(TLogWriter::qkReceived, stagedPath_, lineBuffer_,
                                                            lineEnds_.data(), stagedCount_, stagedSender_, true)
                                            : 0;
        if (queued < stagedCount_) HoldStaged(queued);
    }
    lineBuffer_.clear();
    // A buffer that one unusual line made large gives its memory back at
    // once: a burst of such lines would otherwise keep the process large.
    ReleaseExcessCapacity(lineBuffer_);
    stagedCount_ = 0;
}

void TSyslogService::HoldStaged(size_t from) {
    THeld held;
    held.Path = stagedPath_;
    held.Sender = stagedSender_;
    const uint32_t base = from == 0 ? 0 : lineEnds_[from - 1];
    held.Bytes.assign(lineBuffer_, base, lineEnds_[stagedCount_ - 1] - base);
    for (size_t i = from; i < stagedCount_; ++i) held.Ends.push_back(lineEnds_[i] - base);
    held_.push_back(std::move(held));
}

void TSyslogService::StreamMessage(std::string_view message, std::string_view lineSender, std::string_view rawSender) {
    const TScopeExit mode([this] { streamMode_ = false; });
    streamMode_ = true;
    const auto report = [this, rawSender] {
        ReportQuietly(texts::kLogProcessingFailed + std::to_string(platform::CurrentExceptionCode()) + ")", rawSender);
    };
    try {
        StageLine(message, lineSender, rawSender);
    } catch (...) {
        report();
        TInstanceCounters::Add(Counters.DroppedWriteFailed);
    }
    try {
        CheckKeywords(message, lineSender);
    } catch (...) {
        report();
    }
}

bool TSyslogService::StreamReadDone() {
    streamMode_ = true;
    try {
        FlushStaged();
    } catch (...) {
    }
    streamMode_ = false;
    return held_.empty();
}

bool TSyslogService::StreamRoomAgain() {
    while (!held_.empty()) {
        THeld& h = held_.front();
        const size_t queued =
            writer_->Push(TLogWriter::qkReceived, h.Path, h.Bytes, h.Ends.data(), h.Ends.size(), h.Sender, true);
        if (queued < h.Ends.size()) {
            const uint32_t base = queued == 0 ? 0 : h.Ends[queued - 1];
            h.Bytes.erase(0, base);
            h.Ends.erase(h.Ends.begin(), h.Ends.begin() + static_cast<std::ptrdiff_t>(queued));
            for (uint32_t& end : h.Ends) end -= base;
            return false;
        }
        for (TAlertJob& alert : h.Alerts) writer_->PushAlert(std::move(alert));
        held_.pop_front();
    }
    // Half the queue free before reading again: resuming at the first free
    // line would pause and resume once per line.
    return writer_->ReceivedRoom() >= TLogWriter::kReceivedLimit / 2;
}

void TSyslogService::NoteRefusedSender(std::string_view rawSender, bool datagram) {
    if (datagram) TInstanceCounters::Add(Counters.SendersRefused);
    ++refusedSinceReport_;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextRefusedReport_) return;
    nextRefusedReport_ = now + std::chrono::minutes(1);
    WriteOperationLog(texts::kLogSenderRefused + std::string(rawSender) + texts::kLogSenderRefusedCount +
                          std::to_string(refusedSinceReport_) + texts::kLogCountMessages + ")",
                      "");
    refusedSinceReport_ = 0;
}

bool TSyslogService::HasStreamCounts() const { return Reception.Streams() || !Reception.AllowedSenders.Empty(); }

void TSyslogService::WriteReceivedLog(std::string_view message, std::string_view sender) {
    StageLine(message, sender, sender);
    FlushStaged();
}

void TSyslogService::StartHousekeeping() {
    THousekeeping job;
    job.Folder = EnsureTrailingBackslash(Files.LogsFolder);
    job.Patterns = {Files.RecvLogName, Files.SystemLogName};
    job.Settings = Files.Retention;
    job.Clock = Clock;
    // The lambdas run on the housekeeper's thread: they hold what they need
    // and reach the writer and the mailer, never the instance itself.
    job.InUse = [recv = Files.RecvLogName, operation = Files.SystemLogName](const platform::LocalTime& now) {
        std::vector<std::string> names(2);
        AppendExpandedName(names[0], recv, now);
        AppendExpandedName(names[1], operation, now);
        return names;
    };
    job.Report = [writer = writer_.get()](const std::string& line) { writer->LogOperation(line, ""); };
    job.SystemLog = DiskLowEvent;
    if (!Mail.MailServer.empty() && !Mail.MailToAddress.empty()) {
        job.Mail = [mailer = mailer_.get()](const std::string& line) { mailer->PostDiskWarning(line); };
    }
    housekeeper_->Start(std::move(job));
}

void TSyslogService::WriteOperationLog(std::string_view message, std::string_view detail) {
    writer_->LogOperation(message, detail, false);
}

const TKeyword* TSyslogService::FindKeyword(const TKeywordList& keywords, std::string_view message) {
    const std::string_view searched = message.substr(0, message.find('\0'));
    for (const TKeyword& keyword : keywords) {
        if (!keyword.Keyword.empty() && ContainsAtCharacterStart(searched, keyword.Keyword)) return &keyword;
    }
    return nullptr;
}

void TSyslogService::GuardAddresses(const TKeyword& match, bool room, TAlertJob& alert) {
    // A lookup, nothing waits; a held match takes no room.
    const auto steadyNow = SteadyClock();
    const platform::LocalTime wallNow = Clock();
    for (const std::string& address : match.AddrList) {
        THeldAlerts held;
        if (room && mailThrottle_.Admit(match.Keyword, address, steadyNow, wallNow, &held)) {
            alert.Addresses.push_back(address);
            alert.Held.push_back(held);
            continue;
        }
        if (!room && !mailThrottle_.Hold(match.Keyword, address, steadyNow, wallNow, &held)) {
            // No room, and no memory left to hold it in.
            TInstanceCounters::Add(Counters.MailsDroppedQueue);
            continue;
        }
        TInstanceCounters::Add(Counters.MailsHeld);
        // One line per interval and address, not one per held match: a
        // storm must not turn into a storm of log lines either.
        if (held.Count == 1) {
            WriteOperationLog(Mail.MailServer + texts::kLogMailTo + address +
                                  (room ? texts::kLogMailHeld : texts::kLogMailHeldQueueFull) + match.Keyword + ")",
                              "");
        }
    }
}

void TSyslogService::CheckKeywords(std::string_view message, std::string_view sender) {
    if (Mail.MailServer.empty() || Mail.KeywordList.empty()) return;
    const bool utf8 = ReadsAsUtf8(Mail.MessageCharset, message);
    const TKeyword* match = utf8 ? FindKeywordInUtf8(Mail.KeywordList, message) : FindKeyword(Mail.KeywordList, message);
    if (match == nullptr) return;
    TInstanceCounters::Add(Counters.KeywordMatches);
    TAlertJob alert;
    // The interval is the configuration's; it is taken over here, on the
    // thread the guard belongs to.
    if (mailThrottle_.IntervalSeconds() != Mail.MailInterval) mailThrottle_.SetInterval(Mail.MailInterval);
    // Room first, then the guard: a match that finds the queue full must
    // not start an interval whose mail never goes out, nor vanish from the
    // count the next mail carries.
    const bool room = mailer_->Reserve();
    if (mailThrottle_.Enabled()) {
        GuardAddresses(*match, room, alert);
        if (alert.Addresses.empty()) {
            if (room) mailer_->Unreserve();
            return;
        }
    } else if (!room) {
        TInstanceCounters::Add(Counters.MailsDroppedQueue, match->AddrList.size());
        return;
    } else {
        alert.Addresses = match->AddrList;
    }
    // The replacement is Shift_JIS like the file it comes from; within a
    // UTF-8 text it must be UTF-8 too.
    alert.Body = utf8 ? ReplaceControlBytes(message, platform::SjisToUtf8(Files.CnvCtrlCode, kGetaUtf8))
                      : ConvertControlCodes(message);
    alert.Utf8 = utf8;
    alert.Sender.assign(sender.data(), sender.size());
    alert.Keyword = match->Keyword;
    // Behind the message's own line, which must be written first.
    FlushStaged();
    // A stream line still held takes its alert along: the mail must not
    // tell of a message the file does not have yet.
    if (streamMode_ && !held_.empty()) {
        held_.back().Alerts.push_back(std::move(alert));
        return;
    }
    writer_->PushAlert(std::move(alert));
}

bool TSyslogService::PasswordInClear() const {
    if (Mail.MailServer.empty() || Mail.MailServerSMTPAuth == SA_NONE || Mail.MailTls != ST_NONE) return false;
    uint32_t address = 0;
    if (platform::ParseIPv4Literal(Mail.MailServer, address)) return (address >> 24) != 127;
    // Names are not looked up at start (that could wait on a name server);
    // only the loopback name itself counts as this machine.
    std::string lower = Mail.MailServer;
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return lower != "localhost" && lower != "::1";
}

}  // namespace quorvel
