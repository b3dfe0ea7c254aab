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

// Where datagrams are received.
struct TReceptionSettings {
    std::string ServerIPAddress;  // empty: every local address
    int32_t SysLogPort = 514;
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
};

}  // namespace quorvel
