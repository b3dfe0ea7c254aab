#include "server/SyslogServer.h"

#include <system_error>

#include "mail/DMail.h"
#include "platform/SystemError.h"
#include "server/LogFile.h"
#include "server/ServerTexts.h"
#include "util/DString.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Appends the pattern with every two-byte field "%Y", "%M" and "%D" (either
// letter case) replaced. One pass gives what replacing the three fields one
// after the other gives: a replacement is digits only, so it can neither hold
// a field nor complete one. A Shift_JIS trail byte is never '%', so a plain
// byte scan cannot split a character.
void AppendExpandedName(std::string& out, std::string_view pattern, const platform::LocalTime& now) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            switch (UpperAscii(pattern[i + 1])) {
                case 'Y': out += std::to_string(now.Year); ++i; continue;
                case 'M': out += ZeroPad2(now.Month); ++i; continue;
                case 'D': out += ZeroPad2(now.Day); ++i; continue;
                default: break;
            }
        }
        out += pattern[i];
    }
}

std::string DateText(const platform::LocalTime& t) {
    return std::to_string(t.Year) + "/" + ZeroPad2(t.Month) + "/" + ZeroPad2(t.Day);
}

std::string TimeText(const platform::LocalTime& t) {
    return ZeroPad2(t.Hour) + ":" + ZeroPad2(t.Minute) + ":" + ZeroPad2(t.Second) + "." +
           ZeroPad3(t.Millisecond);
}

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

// The error code behind the exception being handled: the failed write's own
// code when it carries one, else the thread's last system error. Call inside
// a catch block only.
int CurrentErrorCode() {
    try {
        throw;
    } catch (const TLogWriteError& e) {
        return e.Code();
    } catch (const std::system_error& e) {
        return e.code().value();
    } catch (...) {
        return platform::LastErrorCode();
    }
}

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

int LoadAddrInfo(const std::function<int()>& loader) {
    const int result = loader ? loader() : -1;
    addrInfoLoaded = result == 0;
    return result;
}

void UnloadAddrInfo() {
    if (addrInfoLoaded) platform::UnloadAddressResolver();
    addrInfoLoaded = false;
}

bool AddrInfoLoaded() { return addrInfoLoaded; }

TSyslogService::TSyslogService() = default;

// The sockets close with OwnedSockets. The queue is not touched here: it may
// already be gone (a failed start ends the worker before the server), and a
// closed descriptor leaves the readiness set by itself.
TSyslogService::~TSyslogService() = default;

// ---- Listener sockets ----

bool TSyslogService::Register(int socket, unsigned number) {
    if (NotifyWindow == nullptr) return false;
    return NotifyWindow->RegisterSocket(
        socket, number, [this](unsigned n, int64_t p1, int64_t p2) { HandleSocketMessage(n, p1, p2); });
}

void TSyslogService::NoteFailure(const std::string& step, const std::string& address, int family,
                                 const std::string& reason) {
    // Only the first failure of a start: the later ones follow from it.
    if (!StartFailure.empty()) return;
    const std::string shown = family == platform::kFamilyIPv6 ? "[" + address + "]" : address;
    StartFailure = step + " " + shown + " port " + std::to_string(SysLogPort) +
                   (family == platform::kFamilyIPv6 ? " (IPv6)" : " (IPv4)") + ": " + reason;
}

void TSyslogService::NoteListening(const std::string& address, int family) {
    if (!ListeningOn.empty()) ListeningOn += ", ";
    ListeningOn += (family == platform::kFamilyIPv6 ? "[" + address + "]" : address) + " port " +
                   std::to_string(SysLogPort) + (family == platform::kFamilyIPv6 ? " (IPv6)" : " (IPv4)");
}

bool TSyslogService::OpenListener(const platform::BindAddress& address) {
    // sockaddr_in is 16 bytes, sockaddr_in6 28: the length tells the family.
    const bool ipv4 = address.SockAddr.size() <= 16;
    const int family = ipv4 ? platform::kFamilyIPv4 : platform::kFamilyIPv6;
    WriteOperationLog(ipv4 ? texts::kLogBindFromIPv4 : texts::kLogBindFromIPv6, "");
    const int socket = platform::CreateUdpSocket(family);
    if (socket == platform::kNoSocket) {
        const int error = platform::LastUdpSocketError();
        WriteOperationLog(ipv4 ? texts::kLogIPv4SocketFailed : texts::kLogIPv6SocketFailed, "");
        NoteFailure("cannot open a UDP socket for", platform::BindAddressText(address), family,
                    platform::SystemErrorText(error));
        return false;
    }
    OwnedSockets.emplace_back(socket);
    (ipv4 ? Socket4 : Socket6) = socket;
    if (const int error = platform::BindUdp(socket, address); error != 0) {
        WriteOperationLog(ipv4 ? texts::kLogIPv4BindFailed : texts::kLogIPv6BindFailed, "");
        NoteFailure("cannot bind to", platform::BindAddressText(address), family, platform::SystemErrorText(error));
        return false;
    }
    if (!Register(socket, ipv4 ? WM_SYSLOG_IPV4 : WM_SYSLOG_IPV6)) {
        const int error = platform::LastErrorCode();
        WriteOperationLog(std::string(ipv4 ? texts::kLogIPv4SelectFailed : texts::kLogIPv6SelectFailed) +
                              std::to_string(error) + ")",
                          "");
        NoteFailure("cannot watch the socket of", platform::BindAddressText(address), family,
                    platform::SystemErrorText(error));
        return false;
    }
    NoteListening(platform::BindAddressText(address), family);
    return true;
}

bool TSyslogService::StartIPv4Only() {
    WriteOperationLog(texts::kLogBindStartIPv4Only, "");
    uint32_t address = 0;
    if (IsIPv4Address(ServerIPAddress)) {
        for (int part : SplitIPv4Address(ServerIPAddress)) address = address << 8 | (static_cast<uint32_t>(part) & 0xFF);
    }
    const std::string addressText = std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) +
                                    "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
    const int socket = platform::CreateUdpSocket(platform::kFamilyIPv4);
    if (socket == platform::kNoSocket) {
        const int error = platform::LastUdpSocketError();
        WriteOperationLog(texts::kLogSocketFailed, "");
        NoteFailure("cannot open a UDP socket for", addressText, platform::kFamilyIPv4, platform::SystemErrorText(error));
        return false;
    }
    OwnedSockets.emplace_back(socket);
    Socket4 = socket;
    WriteOperationLog(texts::kLogBindPort + std::to_string(SysLogPort), "");
    const int bindError = platform::BindUdpIPv4(socket, address, static_cast<uint16_t>(SysLogPort & 0xFFFF));
    if (bindError != 0) {
        WriteOperationLog(texts::kLogBindFailed + std::to_string(bindError) + ")", "");
        NoteFailure("cannot bind to", addressText, platform::kFamilyIPv4, platform::SystemErrorText(bindError));
        return false;
    }
    if (!Register(socket, WM_SYSLOG_IPV4)) {
        const int error = platform::LastErrorCode();
        WriteOperationLog(texts::kLogSelectFailed + std::to_string(error) + ")", "");
        NoteFailure("cannot watch the socket of", addressText, platform::kFamilyIPv4, platform::SystemErrorText(error));
        return false;
    }
    NoteListening(addressText, platform::kFamilyIPv4);
    return true;
}

bool TSyslogService::StartListening() {
    NotifyWindow = platform::MessageQueue::Current();
    StartFailure.clear();
    ListeningOn.clear();
    bool result = true;
    const bool dual = AddrInfoLoaded();
    if (dual) {
        WriteOperationLog(texts::kLogBindStartDual, "");
        const std::string port = std::to_string(SysLogPort);
        WriteOperationLog(texts::kLogBindPort + port, "");
        std::vector<platform::BindAddress> addresses;
        const int rc = platform::ResolvePassive(ServerIPAddress, port, addresses);
        if (rc != 0 || addresses.empty()) {
            // Nothing to bind would otherwise pass for a successful start.
            WriteOperationLog(texts::kLogResolveFailed + std::to_string(rc) + ")", "");
            StartFailure = "cannot resolve the address \"" + ServerIPAddress + "\" (port " + port + "): " +
                           (rc != 0 ? platform::ResolveErrorText(rc) : std::string("no address to bind"));
            result = false;
        }
        for (const platform::BindAddress& address : addresses) {
            if (!OpenListener(address)) result = false;
        }
    } else {
        result = StartIPv4Only();
    }
    if (result) {
        WriteOperationLog(texts::kLogServiceStarted, "");
        if (dual) WriteOperationLog(texts::kLogIPv6Enabled, "");
    } else {
        WriteOperationLog(texts::kLogServiceStartFailed, "");
    }
    return result;
}

bool TSyslogService::StopListening() {
    KeywordList.clear();
    for (platform::UdpSocketHandle& socket : OwnedSockets) {
        if (NotifyWindow != nullptr) NotifyWindow->UnregisterSocket(socket.Get());
    }
    // Closed one by one: there is no process-wide socket clean-up to do it.
    OwnedSockets.clear();
    Socket4 = platform::kNoSocket;
    Socket6 = platform::kNoSocket;
    NotifyWindow = nullptr;
    WriteOperationLog(texts::kLogServiceStopped, "");
    return true;
}

// ---- Reception ----

void TSyslogService::AppendSenderText(std::string& text, const platform::SenderAddress& address, bool ipv6) {
    if (!ipv6) {
        for (size_t i = 0; i < 4; ++i) {
            if (i > 0) text += '.';
            text += std::to_string(address.Bytes[i]);
        }
        return;
    }
    for (size_t i = 0; i < 16; ++i) {
        if (i > 0 && i % 2 == 0) text += ':';
        text += kHexDigits[address.Bytes[i] >> 4];
        text += kHexDigits[address.Bytes[i] & 0x0F];
    }
}

bool TSyslogService::IsOwnSocket(int socket) const {
    for (const platform::UdpSocketHandle& own : OwnedSockets) {
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

void TSyslogService::HandleRead(unsigned number, int socket) {
    if (ReceiveBuffer.size() != kReceiveBufferSize) ReceiveBuffer.resize(kReceiveBufferSize);
    const platform::ReceiveResult read = platform::ReceiveDatagram(socket, ReceiveBuffer.data(), ReceiveBuffer.size());
    RawSender.clear();
    AppendSenderText(RawSender, read.Sender, number == WM_SYSLOG_IPV6);
    if (read.Count < 0) {
        // A readiness report whose datagram was dropped on its checksum before
        // the read: nothing was received, nothing is lost.
        if (read.NothingWaiting) return;
        WriteOperationLog(texts::kLogReadFailed, RawSender + " " + std::to_string(read.Error));
        return;
    }
    if (read.Count == 0) return;
    try {
        ProcessMessage(std::string_view(ReceiveBuffer.data(), static_cast<size_t>(read.Count)), RawSender);
    } catch (...) {
        WriteOperationLog(texts::kLogProcessingFailed + std::to_string(CurrentErrorCode()) + ")", RawSender);
    }
}

void TSyslogService::ProcessMessage(std::string_view message, std::string_view sender) {
    std::string normalised;
    if (AddressKind(sender) == akIPv6) {
        TIPv6Address address;
        ParseIPv6Address(sender, address);
        normalised = FormatIPv6Address(address, false);
        sender = normalised;
    }
    WriteReceivedLog(message, sender);
    CheckKeywords(message, sender);
}

// ---- Log files ----

std::string TSyslogService::ExpandLogFileName(std::string_view pattern) const {
    if (pattern.find('%') == std::string_view::npos) return std::string(pattern);
    return ExpandLogFileName(pattern, Clock());
}

std::string TSyslogService::ExpandLogFileName(std::string_view pattern, const platform::LocalTime& now) const {
    std::string name;
    name.reserve(pattern.size() + 8);
    AppendExpandedName(name, pattern, now);
    return name;
}

void TSyslogService::BuildLogPath(std::string& path, std::string_view pattern, const platform::LocalTime& now) const {
    // The line's own clock reading names the file, so a line stamped just
    // before midnight never lands in the next day's file.
    path = EnsureTrailingBackslash(LogsFolder);
    if (pattern.find('%') == std::string_view::npos) {
        path += pattern;
    } else {
        AppendExpandedName(path, pattern, now);
    }
}

std::string TSyslogService::ConvertControlCodes(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    AppendConverted(out, text, false);
    return out;
}

void TSyslogService::AppendConverted(std::string& out, std::string_view text, bool doubleQuotes) const {
    // Doubling the quotes first and converting afterwards, in one pass: a
    // quote is no control byte, and the quotes of CnvCtrlCode stay single.
    // Runs of bytes that stay as they are go over in one piece.
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        if (b >= 32 && (b != '"' || !doubleQuotes)) continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        if (b == '"') {
            out += "\"\"";
        } else if (b != 0) {
            out += CnvCtrlCode;
        }
    }
    out.append(text.data() + run, text.size() - run);
}

void TSyslogService::WriteReceivedLog(std::string_view message, std::string_view sender) {
    if (LogType != ltMeta && LogType != ltTab && LogType != ltComma) return;
    const platform::LocalTime now = Clock();
    // Built in one buffer kept by the instance, whose capacity serves every
    // later datagram: the message is copied once, straight into the line.
    std::string& line = LineBuffer;
    line.clear();
    if (LogType == ltComma) {
        line += '"';
        line += DateText(now);
        line += "\",\"";
        line += TimeText(now);
        line += "\",\"";
        line += sender;
        line += "\",\"";
        AppendConverted(line, message, true);
        line += '"';
    } else {
        const char separator = LogType == ltTab ? '\t' : ' ';
        line += DateText(now);
        line += separator;
        line += TimeText(now);
        line += separator;
        line += sender;
        line += separator;
        AppendConverted(line, message, false);
    }
    line += LineEnd(LogRCode);
    BuildLogPath(PathBuffer, RecvLogName, now);
    AppendText(PathBuffer, line, {});
}

void TSyslogService::WriteOperationLog(std::string_view message, std::string_view detail) {
    const platform::LocalTime now = Clock();
    std::string line = DateText(now) + " " + TimeText(now) + " ";
    line.append(detail).append(" ").append(message);
    try {
        std::string path;
        BuildLogPath(path, SystemLogName, now);
        AppendLine(path, line);
    } catch (const TLogWriteError&) {
        // The operation log is where failures are reported; there is no
        // further place to report its own.
    }
}

namespace {

// True when `keyword` occurs in `text` at a byte that begins a character.
bool ContainsAtCharacterStart(std::string_view text, std::string_view keyword) {
    size_t boundary = 0;  // a known character start at or before the candidate
    for (size_t pos = text.find(keyword); pos != std::string_view::npos;
         pos = text.find(keyword, pos + 1)) {
        while (boundary < pos) boundary += IsSJISLeadByte(static_cast<unsigned char>(text[boundary])) ? 2 : 1;
        if (boundary == pos) return true;
    }
    return false;
}

}  // namespace

const TKeyword* TSyslogService::FindKeyword(const TKeywordList& keywords, std::string_view message) {
    const std::string_view searched = message.substr(0, message.find('\0'));
    for (const TKeyword& keyword : keywords) {
        if (!keyword.Keyword.empty() && ContainsAtCharacterStart(searched, keyword.Keyword)) return &keyword;
    }
    return nullptr;
}

void TSyslogService::CheckKeywords(std::string_view message, std::string_view sender) {
    if (MailServer.empty() || KeywordList.empty()) return;
    const TKeyword* match = FindKeyword(KeywordList, message);
    if (match == nullptr) return;
    // A held match must stay cheap in a flood: the body is made only for a
    // mail that goes out.
    std::string body;
    bool bodyMade = false;
    const bool guarded = MailThrottle.Enabled();
    const auto steadyNow = guarded ? SteadyClock() : TAlertThrottle::TTimePoint{};
    const platform::LocalTime wallNow = guarded ? Clock() : platform::LocalTime{};
    for (const std::string& address : match->AddrList) {
        THeldAlerts held;
        if (!MailThrottle.Admit(match->Keyword, address, steadyNow, wallNow, &held)) {
            TInstanceCounters::Add(Counters.MailsHeld);
            // One line per interval and address, not one per held match: a
            // storm must not turn into a storm of log lines either.
            if (held.Count == 1) {
                WriteOperationLog(MailServer + texts::kLogMailTo + address + texts::kLogMailHeld + match->Keyword + ")",
                                  "");
            }
            continue;
        }
        if (!bodyMade) {
            body = ConvertControlCodes(message);
            bodyMade = true;
        }
        std::string line = MailServer + texts::kLogMailTo + address;
        if (SendAlertMail(body, sender, address, held) == 0) {
            line += texts::kLogMailSent + match->Keyword + ")";
        } else {
            line += texts::kLogMailFailed;
        }
        WriteOperationLog(line, "");
    }
}

int32_t TSyslogService::SendAlertMail(std::string_view body, std::string_view sender,
                                      const std::string& address, const THeldAlerts& held) {
    TSMTPMail mail;
    mail.SetServerName(MailServer);
    mail.SetPort(MailServerPort);
    mail.SetFromAddress(MailFromAddress);
    mail.SetToAddress(address);
    // The composer encodes the subject itself; an encoded word handed to it
    // would be split and encoded a second time when it is long.
    mail.SetSubject(MailSubject);
    mail.SetSMTPAuthType(MailServerSMTPAuth);
    mail.SetSMTPAuthAccount(SMTPAuthID);
    mail.SetSMTPAuthPassword(SMTPAuthPass);
    // AUTH is an extension of EHLO sessions (RFC 4954 section 4): servers
    // refuse it after HELO.
    if (MailServerSMTPAuth != SA_NONE) mail.SetStartCommandType(1);
    mail.SetX_Mailer("Quorvel Service");
    mail.Body().push_back("");
    mail.Body().push_back(std::string(sender) + " said");
    mail.Body().push_back(std::string(body));
    if (held.Count > 0) {
        mail.Body().push_back("");
        mail.Body().push_back(texts::kMailHeldCount + std::to_string(held.Count) + texts::kMailHeldFirst +
                              FormatDateTimeText(held.First) + texts::kMailHeldLast +
                              FormatDateTimeText(held.Last) + ")");
    }
    return mail.SendMail();
}

}  // namespace quorvel
