#include "server/SyslogServer.h"

#include "mail/DMail.h"
#include "server/LogFile.h"
#include "server/ServerTexts.h"
#include "util/DString.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Replaces every two-byte field "%<letter>" in either letter case. The
// replacement is not scanned again. A Shift_JIS trail byte is never '%', so
// a plain byte scan cannot split a character.
std::string ReplaceField(const std::string& text, char letter, const std::string& value) {
    std::string out;
    out.reserve(text.size() + value.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && UpperAscii(text[i + 1]) == letter) {
            out += value;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string DateText(const platform::LocalTime& t) {
    return std::to_string(t.Year) + "/" + ZeroPad2(t.Month) + "/" + ZeroPad2(t.Day);
}

std::string TimeText(const platform::LocalTime& t) {
    return ZeroPad2(t.Hour) + ":" + ZeroPad2(t.Minute) + ":" + ZeroPad2(t.Second) + "." +
           ZeroPad3(t.Millisecond);
}

std::string DoubleQuotes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '"') out += '"';
    }
    return out;
}

std::string_view LineEnd(TLogRCode code) {
    switch (code) {
        case rcCRLF: return "\r\n";
        case rcCR: return "\r";
        case rcLF: return "\n";
    }
    return {};
}

}  // namespace

std::string TSyslogService::ExpandLogFileName(std::string_view pattern) const {
    if (pattern.find('%') == std::string_view::npos) return std::string(pattern);
    return ExpandLogFileName(pattern, Clock());
}

std::string TSyslogService::ExpandLogFileName(std::string_view pattern, const platform::LocalTime& now) const {
    std::string name(pattern);
    if (name.find('%') == std::string::npos) return name;
    name = ReplaceField(name, 'Y', std::to_string(now.Year));
    name = ReplaceField(name, 'M', ZeroPad2(now.Month));
    return ReplaceField(name, 'D', ZeroPad2(now.Day));
}

std::string TSyslogService::LogPath(std::string_view pattern, const platform::LocalTime& now) const {
    // The line's own clock reading names the file, so a line stamped just
    // before midnight never lands in the next day's file.
    return EnsureTrailingBackslash(LogsFolder) + ExpandLogFileName(pattern, now);
}

std::string TSyslogService::ConvertControlCodes(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b == 0) continue;
        if (b < 32) {
            out += CnvCtrlCode;
        } else {
            out += c;
        }
    }
    return out;
}

void TSyslogService::WriteReceivedLog(std::string_view message, std::string_view sender) {
    const platform::LocalTime now = Clock();
    const std::string date = DateText(now);
    const std::string time = TimeText(now);
    std::string line;
    switch (LogType) {
        case ltMeta:
            line = date + " " + time + " " + std::string(sender) + " " + ConvertControlCodes(message);
            break;
        case ltTab:
            line = date + "\t" + time + "\t" + std::string(sender) + "\t" + ConvertControlCodes(message);
            break;
        case ltComma:
            line = "\"" + date + "\",\"" + time + "\",\"" + std::string(sender) + "\",\"" +
                   ConvertControlCodes(DoubleQuotes(message)) + "\"";
            break;
        default:
            return;
    }
    AppendText(LogPath(RecvLogName, now), line, LineEnd(LogRCode));
}

void TSyslogService::WriteOperationLog(std::string_view message, std::string_view detail) {
    const platform::LocalTime now = Clock();
    std::string line = DateText(now) + " " + TimeText(now) + " ";
    line.append(detail).append(" ").append(message);
    try {
        AppendLine(LogPath(SystemLogName, now), line);
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
    const std::string body = ConvertControlCodes(message);
    for (const std::string& address : match->AddrList) {
        std::string line = MailServer + texts::kLogMailTo + address;
        if (SendAlertMail(body, sender, address) == 0) {
            line += texts::kLogMailSent + match->Keyword + ")";
        } else {
            line += texts::kLogMailFailed;
        }
        WriteOperationLog(line, "");
    }
}

int32_t TSyslogService::SendAlertMail(std::string_view body, std::string_view sender,
                                      const std::string& address) {
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
    return mail.SendMail();
}

}  // namespace quorvel
