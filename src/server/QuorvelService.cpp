// The server object: reading "Quorvel.ini" into each instance's settings,
// the start checks and notes, and starting and stopping the instances with
// their statistics timer.

#include "server/QuorvelService.h"

#include <algorithm>
#include <stdexcept>

#include "platform/Console.h"
#include "platform/Folders.h"
#include "platform/SystemLog.h"
#include "server/MessageCharset.h"
#include "server/ServerTexts.h"
#include "server/Statistics.h"
#include "util/Chars.h"
#include "util/DCSVList.h"
#include "util/DInifile.h"
#include "util/DString.h"

namespace quorvel {

namespace {

constexpr int32_t kDefaultSyslogPort = 514;
constexpr int32_t kNoInstance = -1;
constexpr int32_t kHighestPort = 65535;

// Upper-cases ASCII letters only, stepping over double-byte characters: a
// Shift_JIS trail byte may lie in 'a'..'z' and must stay as it is.
std::string UpperSjis(std::string text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsSJISLeadByte(static_cast<unsigned char>(text[i]))) {
            ++i;
        } else {
            text[i] = UpperAscii(text[i]);
        }
    }
    return text;
}

// The ini lookup of an instance key: its name and "=".
std::string InstanceKey(const char* name, int instance) { return InstanceKeyName(name, instance) + "="; }

TKeywordList ReadKeywords(const TStringList& block, const std::string& mailTo) {
    TKeywordList list;
    TCSVList csv;
    for (const std::string& line : block) {
        csv.SetLine(line);
        if (csv.Count() == 0) continue;
        TKeyword keyword;
        keyword.Keyword = csv.Fields(0);
        if (csv.Count() == 1) {
            keyword.AddrList.push_back(mailTo);
        } else {
            for (int i = 1; i < csv.Count(); ++i) keyword.AddrList.push_back(csv.Fields(i));
        }
        list.push_back(std::move(keyword));
    }
    return list;
}

// Every key of the [mail] concern, read once; an instance gets the whole
// struct when both a server and a recipient are named.
TMailSettings ReadMailSettings(const TStringList& lines) {
    TMailSettings s;
    s.MailServer = ReadIniString(lines, "MAILSERVER=");
    s.MailServerPort = ReadIniInteger(lines, "MAILSERVERPORT=", 25);
    s.MailSubject = ReadIniStringDef(lines, "MAILSUBJECT=", "Quorvel Warning");
    s.MailFromAddress = ReadIniString(lines, "MAILFROM=");
    s.MailToAddress = ReadIniString(lines, "MAILTO=");

    const std::string auth = UpperSjis(ReadIniString(lines, "SMTPAUTH="));
    s.MailServerSMTPAuth = auth == "LOGIN" ? SA_LOGIN : auth == "CRAM-MD5" ? SA_CRAMMD5 : SA_NONE;
    s.SMTPAuthID = ReadIniString(lines, "SMTPAUTHID=");
    s.SMTPAuthPass = ReadIniString(lines, "SMTPAUTHPASS=");
    // The storm guard stays off unless asked for; a negative value is no interval.
    s.MailInterval = std::max(ReadIniInteger(lines, "MAILINTERVAL=", 0), 0);

    const std::string tls = UpperSjis(ReadIniStringDef(lines, "SMTPTLS=", "NONE"));
    s.MailTls = tls == "STARTTLS" ? ST_STARTTLS : tls == "TLS" ? ST_IMPLICIT : ST_NONE;
    // Only an explicit 0 turns the certificate check off.
    s.MailTlsVerify = ReadIniInteger(lines, "SMTPTLSVERIFY=", 1) != 0;
    s.MailTlsCaFile = ReadIniString(lines, "SMTPTLSCAFILE=");
    s.MailTimeout = ReadIniInteger(lines, "MAILTIMEOUT=", 300);
    if (s.MailTimeout <= 0) s.MailTimeout = 300;

    TStringList block;
    ReadIniBlock(lines, "KEYWORDLISTSTART", "KEYWORDLISTEND", block);
    s.KeywordList = ReadKeywords(block, s.MailToAddress);
    return s;
}

// The keys of the file concern that every instance shares; the names and
// the layout are read per instance.
TFileSettings ReadSharedFileSettings(const TStringList& lines, const std::string& logsFolder) {
    TFileSettings s;
    s.LogsFolder = logsFolder;
    const std::string rcode = UpperSjis(ReadIniStringDef(lines, "RCODE=", "CRLF"));
    s.LogRCode = rcode == "CR" ? rcCR : rcode == "LF" ? rcLF : rcCRLF;
    s.CnvCtrlCode = UpperSjis(ReadIniString(lines, "CNVCTRLCODE="));
    // A negative interval means no statistics, as 0 does.
    s.StatsInterval = std::max<int32_t>(0, ReadIniInteger(lines, "STATSINTERVAL=", 0));
    return s;
}

// The file keys of instance n over the shared ones.
TFileSettings ReadInstanceFiles(const TStringList& lines, int n, const TFileSettings& shared) {
    TFileSettings files = shared;
    const std::string systemLogName = ReadIniString(lines, InstanceKey("SYSLOGLOGNAME", n));
    const std::string recvLogName = ReadIniString(lines, InstanceKey("RECVLOGNAME", n));
    const std::string logType = UpperSjis(ReadIniStringDef(lines, InstanceKey("LOGTYPE", n), "META"));
    files.SystemLogName = systemLogName.empty() ? "Quorvel.log" : systemLogName;
    files.RecvLogName = recvLogName.empty() ? "%y-%m-syslog.log" : recvLogName;
    files.LogType = logType == "TAB" ? ltTab : logType == "CSV" ? ltComma : ltMeta;
    // Off unless asked for: a negative value is no value.
    files.Retention.KeepDays = std::max<int32_t>(0, ReadIniInteger(lines, InstanceKey("KEEPDAYS", n), 0));
    files.Retention.CompressAfterDays =
        std::max<int32_t>(0, ReadIniInteger(lines, InstanceKey("COMPRESSAFTERDAYS", n), 0));
    files.Retention.MinFreeMB = std::max<int32_t>(0, ReadIniInteger(lines, InstanceKey("MINFREEMB", n), 0));
    return files;
}

// The charsets of instance n; anything but the names below keeps today's
// Shift_JIS and ISO-2022-JP.
void ReadInstanceCharsets(const TStringList& lines, int n, TMailSettings& mail) {
    const std::string message = UpperSjis(ReadIniString(lines, InstanceKey("MESSAGECHARSET", n)));
    const std::string sent = UpperSjis(ReadIniString(lines, InstanceKey("MAILCHARSET", n)));
    mail.MessageCharset = message == "UTF8" || message == "UTF-8" ? TMessageCharset::Utf8
                          : message == "AUTO"                     ? TMessageCharset::Auto
                                                                  : TMessageCharset::Sjis;
    mail.MailCharset = sent == "UTF-8" || sent == "UTF8" ? MC_UTF8 : MC_ISO2022JP;
}

}  // namespace

TSysLogServer::TSysLogServer(TLogEvent logEvent) : LogEvent(std::move(logEvent)) {}

// The timer, then the instances go first: their log writers may still hand
// a lost line to LogEvent while they stop, and LogEvent is a member that
// would otherwise be gone by then.
TSysLogServer::~TSysLogServer() {
    timer_.Stop();
    for (auto& slot : Services) slot.reset();
}

bool TSysLogServer::LoadConfig() { return LoadConfig(ExeFolder()); }

bool TSysLogServer::LoadConfig(const std::string& folder) {
    ResetConfig();

    const std::string base = EnsureTrailingBackslash(folder);
    const std::string logsFolder = EnsureTrailingBackslash(base + "logs");
    // An existing folder is fine; one that cannot be made is made again by
    // the first log line.
    platform::CreateFolder(base + "logs");
    // A folder made by an older version lets anyone open the logs, and so
    // hold their lock.
    if (platform::OthersMayEnterOwnFolder(base + "logs") && platform::RestrictFolderToGroup(base + "logs") == 0) {
        // Done, not to be done: the operation log records it, the console
        // is spared.
        ConfigNotes.push_back({texts::kNoteLogsFolderRestricted + base + "logs", ""});
    }

    const std::string iniPath = base + "Quorvel.ini";
    TStringList lines;
    bool utf8 = false;
    if (!LoadIniFile(&lines, iniPath, &utf8)) return false;
    if (utf8) ConvertUtf8Config(lines);
    if (ApplyConfig(lines, logsFolder) && platform::OthersMayRead(iniPath)) {
        ConfigNotes.push_back({texts::kNoteIniReadable + iniPath, "warning: " + iniPath +
                                                                      " holds SMTPAUTHPASS and other users may read it "
                                                                      "(chmod 640 " + iniPath + ")"});
    }
    return true;
}

void TSysLogServer::LoadConfigText(std::string_view bytes, const std::string& logsFolder) {
    ResetConfig();
    bool utf8 = false;
    TStringList lines = SplitIniText(bytes, &utf8);
    if (utf8) ConvertUtf8Config(lines);
    ApplyConfig(lines, logsFolder);
}

void TSysLogServer::ConvertUtf8Config(TStringList& lines) {
    for (const TIniCharNote& note : ConvertUtf8IniLines(lines)) {
        ConfigNotes.push_back({texts::kNoteIniUtf8Missing + note.Chars + " (" + texts::kNoteLine +
                                   std::to_string(note.Line) + ")",
                               "warning: Quorvel.ini line " + std::to_string(note.Line) + ": no Shift_JIS form for " +
                                   note.Chars + ", read as the geta mark"});
    }
}

void TSysLogServer::ResetConfig() {
    timer_.Stop();
    for (auto& slot : Services) slot.reset();
    StartProblems.clear();
    ConfigNotes.clear();
}

bool TSysLogServer::ApplyConfig(const TStringList& lines, const std::string& logsFolder) {
    const TIniKeyLog keysRead;
    const TMailSettings mail = ReadMailSettings(lines);
    const TFileSettings sharedFiles = ReadSharedFileSettings(lines, logsFolder);
    const bool mailEnabled = !mail.MailServer.empty() && !mail.MailToAddress.empty();

    for (int slot = 0; slot < kServiceSlots; ++slot) {
        const int n = slot + 1;
        const int32_t port = ReadInstancePort(lines, n);
        // Read for a slot without an instance too: the keys are known either way.
        const TFileSettings files = ReadInstanceFiles(lines, n, sharedFiles);
        const std::string bindAddress = ReadIniString(lines, InstanceKey("SERVERIPADDRESS", n));
        TMailSettings instanceMail = mailEnabled ? mail : TMailSettings{};
        ReadInstanceCharsets(lines, n, instanceMail);
        TReceptionSettings reception = ReadReception(lines, n);
        if (port == kNoInstance) continue;

        auto service = std::make_unique<TSyslogService>();
        service->Reception = std::move(reception);
        service->Reception.SysLogPort = (port < 2 || port > 65534) ? kDefaultSyslogPort : port;
        service->Reception.ServerIPAddress = bindAddress;
        service->Files = files;
        service->Mail = std::move(instanceMail);
        service->SetOperationLogFallback([this](const std::string& text) {
            if (LogEvent) LogEvent(text, platform::kEventError, 0, texts::kEventIdOperationLogLost);
        });
        service->DiskLowEvent = [this](const std::string& text) {
            if (LogEvent) LogEvent(text, platform::kEventError, 0, texts::kEventIdDiskLow);
        };
        Services[static_cast<size_t>(slot)] = std::move(service);
    }

    std::vector<TConfigNote> notes = IniLineNotes(lines, keysRead.Keys());
    ConfigNotes.insert(ConfigNotes.end(), notes.begin(), notes.end());
    notes = MailNotes(lines, !mail.KeywordList.empty(), mail.MailServer, mail.MailToAddress, mail.MailFromAddress);
    ConfigNotes.insert(ConfigNotes.end(), notes.begin(), notes.end());
    return !mail.SMTPAuthPass.empty();
}

int32_t TSysLogServer::ReadInstancePort(const TStringList& lines, int n) {
    const std::string portText = ReadIniString(lines, InstanceKey("SYSLOGPORT", n));
    // A port that is no port fails the start: falling back to 514, or to
    // no instance at all, hid the mistake until datagrams went missing.
    // An empty value still means the default, -1 no instance, and 0, 1
    // and 65535 the default port, as they always did. Only -1 written
    // as such empties a slot: "$FFFFFFFF" reads as the same bits, but
    // whoever wrote it meant a port.
    int32_t port = n == 1 ? kDefaultSyslogPort : kNoInstance;
    if (portText.find_first_not_of(" \t") == std::string::npos) return port;
    const bool decimal = portText.find_first_of("$xX") == std::string::npos;
    if (!ParseIniInteger(portText, port)) {
        StartProblems.push_back({n, InstanceKeyName("SYSLOGPORT", n), portText, TProblemKind::PortNotNumber, 0});
    } else if ((port == kNoInstance && !decimal) || port < kNoInstance || port > kHighestPort) {
        StartProblems.push_back({n, InstanceKeyName("SYSLOGPORT", n), portText, TProblemKind::PortRange, 0});
    } else {
        return port;
    }
    return kDefaultSyslogPort;  // the instance stays, so that its operation log hears of it
}

TReceptionSettings TSysLogServer::ReadReception(const TStringList& lines, int n) {
    TReceptionSettings r;
    // A stream port that is no port fails the start, as SYSLOGPORT does;
    // absent, empty or 0 is no such reception.
    const auto streamPort = [&](const char* name) {
        const std::string text = ReadIniString(lines, InstanceKey(name, n));
        int32_t value = 0;
        if (text.find_first_not_of(" \t") == std::string::npos) return 0;
        if (!ParseIniInteger(text, value)) {
            StartProblems.push_back({n, InstanceKeyName(name, n), text, TProblemKind::PortNotNumber, 0});
            return 0;
        }
        if (value < 0 || value > kHighestPort) {
            StartProblems.push_back({n, InstanceKeyName(name, n), text, TProblemKind::StreamPortRange, 0});
            return 0;
        }
        return value;
    };
    r.TcpPort = streamPort("SYSLOGTCPPORT");
    r.TlsPort = streamPort("SYSLOGTLSPORT");
    r.TlsCertFile = ReadIniString(lines, InstanceKey("TLSCERTFILE", n));
    r.TlsKeyFile = ReadIniString(lines, InstanceKey("TLSKEYFILE", n));
    r.TlsClientCaFile = ReadIniString(lines, InstanceKey("TLSCLIENTCAFILE", n));
    // Below 1 the default: a limit of no connection is no stream reception.
    const int32_t limit = ReadIniInteger(lines, InstanceKey("TCPMAXCONNECTIONS", n), r.MaxConnections);
    if (limit > 0) r.MaxConnections = limit;
    r.IdleTimeout = std::max<int32_t>(0, ReadIniInteger(lines, InstanceKey("TCPIDLETIMEOUT", n), r.IdleTimeout));
    const std::string senders = ReadIniString(lines, InstanceKey("ALLOWEDSENDERS", n));
    std::string bad;
    if (!r.AllowedSenders.Parse(senders, &bad)) {
        // Admitting everyone in its place would open what was meant closed.
        StartProblems.push_back({n, InstanceKeyName("ALLOWEDSENDERS", n), bad, TProblemKind::SendersInvalid, 0});
    }
    return r;
}

void TSysLogServer::CheckServices() {
    for (int slot = 0; slot < kServiceSlots; ++slot) {
        const auto& service = Services[static_cast<size_t>(slot)];
        if (service) CheckLogFiles(slot + 1, *service, StartProblems);
    }
}

TSyslogService* TSysLogServer::NoteTaker(int instance) const {
    for (int slot = 0; slot < kServiceSlots; ++slot) {
        const auto& service = Services[static_cast<size_t>(slot)];
        if (!service || (instance != 0 && slot + 1 != instance)) continue;
        // An operation log that is itself the problem takes no notes.
        bool usable = true;
        for (const TStartProblem& problem : StartProblems) {
            if (problem.Instance == slot + 1 && problem.Key == InstanceKeyName("SYSLOGLOGNAME", slot + 1)) usable = false;
        }
        if (usable) return service.get();
    }
    return nullptr;
}

void TSysLogServer::NoteIgnoredSignal(int signalNumber) {
    if (TSyslogService* service = NoteTaker(0)) {
        service->WriteOperationLog(texts::kNoteSignalIgnored + std::to_string(signalNumber) + ")", "");
    }
}

void TSysLogServer::DoServiceStart(bool& Started) {
    bool loaded = false;
    std::string configEvent = texts::kEventConfigMissing;
    try {
        loaded = LoadConfig();
        if (!loaded) {
            platform::ReportToConsole("cannot start: no configuration file " + EnsureTrailingBackslash(ExeFolder()) +
                                      "Quorvel.ini");
        }
    } catch (const TIniNulError& e) {
        platform::ReportToConsole(std::string("cannot start: ") + e.what());
        configEvent = texts::kEventIniNul + EnsureTrailingBackslash(ExeFolder()) + "Quorvel.ini (" + texts::kNoteLine +
                      std::to_string(e.Line) + ")";
    } catch (const std::runtime_error& e) {
        // A folder, a FIFO or a file without read access where the settings
        // belong is a bad configuration like a missing file, not a failure of
        // the host; the event says which, the console says why.
        platform::ReportToConsole(std::string("cannot start: ") + e.what());
    }
    if (!loaded) {
        Started = false;
        if (LogEvent) LogEvent(configEvent, platform::kEventError, 0, texts::kEventIdConfigMissing);
        return;
    }
    CheckServices();
    TSyslogService* noteTaker = NoteTaker(0);
    for (const TConfigNote& note : ConfigNotes) {
        if (noteTaker) noteTaker->WriteOperationLog(note.Text, "");
        if (!note.Console.empty()) platform::ReportToConsole(note.Console);
    }
    if (!StartProblems.empty()) {
        // Every problem at once, each where its reader looks: no bind is
        // tried and no log line is waited for.
        for (const TStartProblem& problem : StartProblems) {
            const std::string text = StartProblemText(problem);
            platform::ReportToConsole(StartProblemConsoleText(problem));
            if (TSyslogService* service = NoteTaker(problem.Instance)) service->WriteOperationLog(text, "");
            if (LogEvent) LogEvent(text, platform::kEventError, 0, texts::kEventIdBadSetting);
        }
        Started = false;
        return;
    }
    Started = StartServices();
    if (Started && LogEvent) LogEvent(texts::kEventServerStarted, platform::kEventSuccess, 0, texts::kEventIdServerStarted);
}

void TSysLogServer::DoServiceStop(bool& Stopped) {
    if (StopServices()) {
        Stopped = true;
        if (LogEvent) LogEvent(texts::kEventServerStopped, platform::kEventSuccess, 0, texts::kEventIdServerStopped);
        if (ReportActivity) ReportActivity(FormatStatusLine(stopTotals_), true);
    } else {
        Stopped = false;
        if (LogEvent) LogEvent(texts::kEventServerStopFailed, platform::kEventError, 0, texts::kEventIdServerStopFailed);
    }
}

void TSysLogServer::DoServiceShutdown() { StopServices(); }

bool TSysLogServer::StartServices() {
    stopTotals_ = TCounterSnapshot{};
    switch (LoadAddrInfo(AddrInfoLoader)) {
        case platform::ResolverStatus::NoGetAddrInfo:
            if (LogEvent) LogEvent(texts::kEventGetAddrInfoMissing, platform::kEventError, 0, texts::kEventIdGetAddrInfoMissing);
            break;
        case platform::ResolverStatus::NoFreeAddrInfo:
            if (LogEvent) LogEvent(texts::kEventFreeAddrInfoMissing, platform::kEventError, 0, texts::kEventIdFreeAddrInfoMissing);
            break;
        case platform::ResolverStatus::NoLibrary:
            if (LogEvent) LogEvent(texts::kEventWs2NotLoaded, platform::kEventError, 0, texts::kEventIdWs2NotLoaded);
            break;
        case platform::ResolverStatus::Loaded:
            break;
    }
    for (int slot = 0; slot < kServiceSlots; ++slot) {
        const auto& service = Services[static_cast<size_t>(slot)];
        if (!service) continue;
        const bool listening = service->StartListening();
        for (const std::string& warning : service->StartWarnings) {
            platform::ReportToConsole("instance " + std::to_string(slot + 1) + ": warning: " + warning);
        }
        if (!listening) {
            platform::ReportToConsole("instance " + std::to_string(slot + 1) + " cannot start: " +
                                  (service->StartFailure.empty() ? std::string("see logs/") + service->Files.SystemLogName
                                                                 : service->StartFailure));
            if (LogEvent) {
                LogEvent(texts::kEventInstanceStartFailedPrefix + std::to_string(slot + 1) +
                             texts::kEventInstanceStartFailedSuffix,
                         platform::kEventError, 0, texts::kEventIdInstanceStartFailed);
            }
            return false;
        }
        platform::ReportToConsole("instance " + std::to_string(slot + 1) + " listening on UDP " + service->ListeningOn);
    }
    StartStatistics();
    return true;
}

void TSysLogServer::StartStatistics() {
    timer_.Stop();
    lastStatus_.clear();
    if (ReportActivity) {
        timer_.Add(StatusPeriod, [this] {
            // Offered only when it changed: an idle server wakes nobody.
            std::string status = FormatStatusLine(Totals());
            if (status == lastStatus_) return;
            ReportActivity(status, false);
            lastStatus_ = std::move(status);
        });
    }
    for (const auto& service : Services) {
        if (!service || service->Files.StatsInterval <= 0) continue;
        TSyslogService* instance = service.get();
        timer_.Add(std::chrono::seconds(service->Files.StatsInterval), [instance] {
            instance->WriteOperationLog(
                FormatStatisticsLine(instance->Counters.Snapshot(), false, instance->HasStreamCounts()), "");
        });
    }
    timer_.Start();
}

TCounterSnapshot TSysLogServer::Totals() const {
    TCounterSnapshot total;
    for (const auto& service : Services) {
        if (service) total += service->Counters.Snapshot();
    }
    return total;
}

bool TSysLogServer::StopServices() {
    // Before any instance goes: the timer's jobs read them.
    timer_.Stop();
    try {
        // One deadline for all: instances that wait on a silent mail server
        // or a locked file wait side by side, not one after the other.
        const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
        for (auto& service : Services) {
            if (service) service->StopDeadline = deadline;
        }
        for (auto& service : Services) {
            if (!service) continue;
            service->StopListening();
            // Counted once the instance has stopped, so the totals hold
            // everything it did.
            stopTotals_ += service->Counters.Snapshot();
            // Freed at once and the slot emptied with it: a stop that fails
            // further on and is asked again must not reach this one twice.
            service.reset();
        }
        UnloadAddrInfo();
        return true;
    } catch (...) {
        // The instances not yet reached go on serving, and go on reporting.
        StartStatistics();
        return false;
    }
}

}  // namespace quorvel
