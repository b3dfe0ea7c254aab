#pragma once
// The settings of one instance, one struct per concern. The configuration
// loader fills each once from "Quorvel.ini" and hands it down whole, so that
// a new key is read in one place and reaches its user without a copy field
// by field. Written before the instance starts, only read afterwards (by
// whichever thread needs it).

#include <cstdint>
#include <string>
#include <vector>

#include "util/MailTypes.h"
#include "util/SenderAllowList.h"

namespace quorvel {

// Layout of a received-message line: fields separated by a space, by a TAB,
// or quoted and separated by commas.
enum TLogType { ltMeta = 0, ltTab = 1, ltComma = 2 };
// Line end of a received-message line: CR LF, CR or LF.
enum TLogRCode { rcCRLF = 0, rcCR = 1, rcLF = 2 };

using TKeywordAddrList = std::vector<std::string>;

struct TKeyword {
    std::string Keyword;        // looked for in received messages
    TKeywordAddrList AddrList;  // recipients of its alert mail
};

using TKeywordList = std::vector<TKeyword>;

// How a received message is read for keywords and mail (MESSAGECHARSET):
// as Shift_JIS, as UTF-8, or as whichever of the two its bytes say.
enum class TMessageCharset { Sjis, Utf8, Auto };

// Where and from whom messages are received. The stream keys default to
// off: an instance without them receives UDP alone, as it always did.
struct TReceptionSettings {
    std::string ServerIPAddress;  // empty: every local address (UDP, TCP and TLS alike)
    int32_t SysLogPort = 514;
    int32_t TcpPort = 0;          // SYSLOGTCPPORT; 0: no TCP reception
    int32_t TlsPort = 0;          // SYSLOGTLSPORT; 0: no TLS reception
    std::string TlsCertFile;      // PEM: the server's certificate (chain)
    std::string TlsKeyFile;       // PEM: its private key
    std::string TlsClientCaFile;  // PEM; set: every client must present a certificate chaining to it
    int32_t MaxConnections = 100;  // TCPMAXCONNECTIONS, TCP and TLS together
    // TCPIDLETIMEOUT, seconds without a byte; 0: never. Off by default: a
    // sender learns of a close only from its next write, and that message is
    // lost (the keep-alive probes free what a vanished peer held instead).
    int32_t IdleTimeout = 0;
    TSenderAllowList AllowedSenders;  // empty: everyone

    bool Streams() const { return TcpPort > 0 || TlsPort > 0; }
};

// What is kept of the old logs, and the free space watched; 0 turns each off.
struct TRetentionSettings {
    int32_t KeepDays = 0;           // days a log is kept after its last day
    int32_t CompressAfterDays = 0;  // days after its last day a log is compressed
    int32_t MinFreeMB = 0;          // free space below which a warning goes out (MB of 2^20 bytes)
};

// The two log files and what their lines look like.
struct TFileSettings {
    std::string LogsFolder;       // ends with the path separator
    std::string SystemLogName;    // operation-log file name pattern
    std::string RecvLogName;      // received-message log file name pattern
    TLogType LogType = ltMeta;
    TLogRCode LogRCode = rcCRLF;
    std::string CnvCtrlCode;      // replaces each control byte of a message; empty drops them
    // Seconds between two statistics lines in the operation log; 0 writes
    // none, and no totals at the stop either.
    int32_t StatsInterval = 0;
    TRetentionSettings Retention;
};

// The keyword alerts and the SMTP server their mails go through. The
// defaults are those of an instance whose configuration names no mail
// server and recipient: such an instance has no keywords and sends nothing.
struct TMailSettings {
    std::string MailServer = "127.0.0.1";
    int32_t MailServerPort = 25;
    TSMTPAuthType MailServerSMTPAuth = SA_NONE;
    std::string MailFromAddress;
    std::string MailToAddress;
    std::string MailSubject = "Quorvel warning";
    std::string SMTPAuthID;
    std::string SMTPAuthPass;     // plain text, as written in the ini file
    TSMTPTlsMode MailTls = ST_NONE;
    bool MailTlsVerify = true;    // check the server's certificate and name
    std::string MailTlsCaFile;    // empty: the system's trust store
    int32_t MailTimeout = 300;    // seconds for one whole mail
    TKeywordList KeywordList;
    // Storm guard (MAILINTERVAL, seconds; 0: every match is mailed).
    int32_t MailInterval = 0;
    // Per instance, unlike the keys above: the charset of the messages and
    // of the alert mail.
    TMessageCharset MessageCharset = TMessageCharset::Sjis;
    TMailCharset MailCharset = MC_ISO2022JP;
};

}  // namespace quorvel
