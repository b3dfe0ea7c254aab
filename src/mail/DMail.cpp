#include "mail/DMail.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "mail/MailTexts.h"
#include "platform/SystemError.h"
#include "platform/TcpSocket.h"
#include "util/DHash.h"
#include "util/DString.h"
#include "util/jconvert.h"

namespace quorvel {

namespace {

constexpr std::size_t kReadChunk = 16385;
// RFC 5321 4.5.3.1.5 allows 512 bytes per reply line; a peer that sends far
// more without finishing its reply is not an SMTP server.
constexpr std::size_t kMaxPendingReply = 1024 * 1024;
constexpr int kHeaderLimit = 76;

// RFC 5321 4.5.3.1.6 and RFC 5322 2.1.1: at most 998 bytes before each
// CR LF; strict servers refuse a longer line, and with it the alert.
constexpr std::size_t kMaxLineBytes = 998;
// RFC 2045 6.8: encoded lines of at most 76 characters.
constexpr std::size_t kBase64LineChars = 76;

void AddLine(std::string& out, const std::string& line) {
    out += line;
    out += "\r\n";
}

}  // namespace

TSMTPMail::TSMTPMail() {
    SetPort(25);
    AddLog("SMTP Object Created");
}

TSMTPMail::~TSMTPMail() = default;

void TSMTPMail::SetBody(const TLines& lines) {
    body_ = lines;
    dotStuffed_.clear();
}

std::string TSMTPMail::GenerateMessageID(const platform::LocalTime& t) const {
    // The timestamp alone repeats within a second, and mailboxes drop mails
    // whose Message-ID they have seen; a counter and the recipient keep the
    // ids of one second apart.
    static std::atomic<unsigned long> serial{0};
    std::string seed = FormatDateTimeText(t) + "." + ZeroPad3(t.Millisecond) + " " +
                       std::to_string(serial.fetch_add(1)) + " " + toAddress_;
    TDSHA1 sha;
    sha.HashString(seed);
    TSHA1Digest digest{};
    sha.Final(digest);
    std::string local, domain;
    SplitMailAddress(fromAddress_, local, domain);
    // RFC 5322 3.6.4 wants a domain on the right; without a sender's, the
    // name this client greets with is this machine's.
    if (domain.empty()) domain = LocalHostName();
    return "<" + TDSHA1::DigestToHex(digest) + "@" + domain + ">";
}

void TSMTPMail::AppendBody(std::string& out) {
    dotStuffed_.resize(body_.size(), false);
    for (std::size_t i = 0; i < body_.size(); ++i) {
        std::string original = body_[i];
        if (original == ".") {
            body_[i] = "..";
            dotStuffed_[i] = true;
        } else if (dotStuffed_[i] && original == "..") {
            original = ".";  // already replaced by an earlier composition
        } else {
            dotStuffed_[i] = false;
        }
        for (std::string wire : SJIStoJISLines(original, kMaxLineBytes)) {
            // RFC 5321 4.5.2: the receiver strips one leading dot of every
            // line, so every line that starts with one gets one more (which
            // the 998-byte limit does not count, 4.5.3.1.6).
            if (!wire.empty() && wire[0] == '.') wire.insert(wire.begin(), '.');
            AddLine(out, wire);
        }
    }
}

void TSMTPMail::AppendUtf8Body(std::string& out) const {
    // Base64 keeps every byte of the text and every line under the limit,
    // and no wire line can start with a dot; the text's own line ends are
    // CR LF inside it (RFC 2046 4.1.1).
    std::string text;
    for (const std::string& line : body_) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') continue;
            if (line[i] == '\r' || line[i] == '\n') {
                text += "\r\n";
            } else {
                text += line[i];
            }
        }
        text += "\r\n";
    }
    const std::string encoded = EncodeBase64(text);
    for (std::size_t pos = 0; pos < encoded.size(); pos += kBase64LineChars) {
        AddLine(out, encoded.substr(pos, kBase64LineChars));
    }
}

void TSMTPMail::ComposeMessage(std::string* buffer) {
    if (buffer == nullptr) return;
    std::string& out = *buffer;
    AddLine(out, "From: <" + fromAddress_ + ">");
    AddLine(out, "To: <" + toAddress_ + ">");
    const platform::LocalTime dateTime = Now();
    AddLine(out, "Date: " + FormatMailDate(FormatUtcOffset(dateTime.UtcOffsetMinutes), dateTime));
    const bool utf8 = charset_ == MC_UTF8;
    if (!subject_.empty()) {
        AddLine(out, "Subject: " + (utf8 ? EncodeMimeTextUtf8(subject_, kHeaderLimit - 1)
                                         : EncodeMimeText(subject_, kHeaderLimit)));
    }
    AddLine(out, "Mime-Version: 1.0");
    AddLine(out, "Message-ID: " + (messageID_.empty() ? GenerateMessageID(Now()) : messageID_));
    AddLine(out, utf8 ? "Content-Type: text/plain;\r\n\tcharset=\"utf-8\""
                      : "Content-Type: text/plain;\r\n\tcharset=\"iso-2022-jp\"");
    AddLine(out, utf8 ? "Content-Transfer-Encoding: base64" : "Content-Transfer-Encoding: 7bit");
    AddLine(out, "Priority: normal");
    if (!xMailer_.empty()) AddLine(out, "X-Mailer: " + xMailer_);
    AddLine(out, "");
    if (utf8) {
        AppendUtf8Body(out);
    } else {
        AppendBody(out);
    }
}

std::string TSMTPMail::LocalHostName() const {
    // A name given by the environment is used as it is, without asking the
    // name service: for hosts whose own name does not resolve, and for tests,
    // which must send nothing beyond loopback.
    if (const char* given = std::getenv("QUORVEL_HOSTNAME"); given != nullptr && *given != '\0') return given;
    std::string name = platform::CanonicalHostName();
    // HELO needs an argument even on a machine that cannot name itself.
    return name.empty() ? std::string("localhost") : name;
}

void TSMTPMail::Command(TSMTPState state, const std::string& text) {
    state_ = state;
    SendText(text, true);
}

namespace {

// An EHLO reply line that names the STARTTLS extension (RFC 3207 4):
// "250-STARTTLS" or "250 STARTTLS", keywords in any letter case.
bool NamesStartTls(const std::string& line) {
    static const char kKeyword[] = "STARTTLS";
    if (line.size() < 4 + sizeof kKeyword - 1) return false;
    for (std::size_t i = 0; i < sizeof kKeyword - 1; ++i) {
        if (UpperAscii(line[4 + i]) != kKeyword[i]) return false;
    }
    const std::size_t end = 4 + sizeof kKeyword - 1;
    return end == line.size() || line[end] == ' ';
}

// What the session log says in each state, in the order of TSMTPState: the
// reply taken, and the wait for it (nothing where there is none).
struct StateWords {
    const char* reply;
    const char* wait;
};
constexpr StateWords kStateWords[] = {
    {"Hello", "HELO"}, {"Mail", "Mail"}, {"Rcpt", "Rcpt"}, {"Data", "Data1"}, {"end of Data", "Data2"},
    {"Quit", "Quit"}, {"Connected", "Connect"}, {"Auth Login1", nullptr}, {"Auth Login2", nullptr},
    {"Auth CRAM1(CRAM-MD5)", nullptr}, {"StartTLS", "StartTLS"},
};

}  // namespace

void TSMTPMail::ConsumeReplyLine(std::string line, bool& result) {
    AddLog(line);
    if (state_ == TSMTPState::Hello && NamesStartTls(line)) startTlsOffered_ = true;
    if (!line.empty() && (line[0] == '4' || line[0] == '5')) {
        result = false;
        errorReply_ = true;
    }
    if (errorReply_) return;
    AddLog(kStateWords[static_cast<int>(state_)].reply);
    if (state_ == TSMTPState::AuthCram1) challenge_ = line.size() > 3 ? line.substr(3) : std::string();
    result = true;
    replyReceived_ = true;
}

bool TSMTPMail::WaitReply() {
    if (const char* wait = kStateWords[static_cast<int>(state_)].wait) AddLog(std::string("Wait to host type : ") + wait);
    replyReceived_ = false;
    errorReply_ = false;
    bool result = false;
    if (SocketHandle() == platform::kNoSocket && !Connected()) return false;

    try {
        // Bytes that keep trickling in without ending the reply do not count
        // as silence; the overall budget still ends such a wait.
        const auto budget = std::chrono::seconds(
            static_cast<int64_t>(std::max(timeoutCount_, 0) + 1) * std::max(timeoutVal_, 1));
        const auto start = std::chrono::steady_clock::now();
        int silentPeriods = 0;
        std::vector<char> chunk(kReadChunk);
        for (;;) {
            std::size_t lf;
            while ((lf = pending_.find('\n')) != std::string::npos) {
                std::string line;
                for (std::size_t i = 0; i < lf; ++i) {
                    if (pending_[i] != '\r') line += pending_[i];
                }
                pending_.erase(0, lf + 1);
                ConsumeReplyLine(line, result);
                // RFC 5321 4.2.1: "code-" continues a reply, "code " or a bare
                // code ends it; what follows belongs to the next reply.
                if (line.size() < 4 || line[3] != '-') return result;
            }
            if (pending_.size() > kMaxPendingReply) break;
            if (std::chrono::steady_clock::now() - start > budget) break;
            if (DeadlineReached()) {
                AddLog("Mail deadline reached");
                break;
            }

            const long n = ReceiveSome(chunk.data(), chunk.size(), timeoutVal_);
            if (n == kReceiveSilent) {
                if (++silentPeriods > timeoutCount_) break;
                continue;
            }
            if (n < 0) {
                // A TLS failure has been traced with its own text already.
                if (!TlsActive()) {
                    AddLog("Socket Error " + std::to_string(platform::LastSystemError()));
                }
                break;
            }
            if (n == 0) break;
            pending_.append(chunk.data(), static_cast<std::size_t>(n));
        }
    } catch (const std::exception&) {
        AddLog(texts::kWaitException + std::to_string(platform::LastSystemError()));
    }
    // The reply never ended: what was read of it is no use to the next wait.
    pending_.clear();
    return false;
}

bool TSMTPMail::NegotiateTls() {
    platform::TlsOptions options;
    options.HostName = ServerName();
    options.Verify = tlsVerify_;
    options.CaFile = tlsCaFile_;
    const int rc = StartTls(options, timeoutVal_);
    if (rc == platform::kTlsOk) return true;
    errorText_ = TlsErrorText();
    return false;
}

int32_t TSMTPMail::RunTransaction() {
    // STARTTLS is an extension, offered only in answer to EHLO.
    const bool ehlo = startCommandType_ == SC_EHLO || tlsMode_ == ST_STARTTLS;
    startTlsOffered_ = false;
    Command(TSMTPState::Hello, (ehlo ? "EHLO " : "HELO ") + LocalHostName());
    if (!WaitReply()) return kMailHelloRefused;

    if (tlsMode_ == ST_STARTTLS) {
        // Never a fall-back to plain text: a relay that does not offer TLS
        // (or an attacker who stripped the offer) gets no password and no mail.
        if (!startTlsOffered_) {
            errorText_ = "STARTTLS not offered";
            return kMailStartTlsFailed;
        }
        Command(TSMTPState::StartTls, "STARTTLS");
        if (!WaitReply()) {
            errorText_ = "STARTTLS refused";
            return kMailStartTlsFailed;
        }
        // Bytes that came with the plain-text answer were never protected;
        // taking them as replies inside the tunnel is the STARTTLS command
        // injection of RFC 3207 6. The greeting that counts comes anew.
        pending_.clear();
        if (!NegotiateTls()) return kMailTlsFailed;
        // RFC 3207 4.2: everything learnt before the handshake is forgotten,
        // so the client asks for the extensions again.
        Command(TSMTPState::Hello, "EHLO " + LocalHostName());
        if (!WaitReply()) return kMailHelloRefused;
    }

    bool authenticated = smtpAuthType_ == SA_NONE;
    if (smtpAuthType_ == SA_CRAMMD5) {
        challenge_.clear();
        Command(TSMTPState::AuthCram1, "AUTH CRAM-MD5");
        if (WaitReply() && !challenge_.empty()) {
            std::string encoded = challenge_;
            encoded.erase(0, encoded.find_first_not_of(' '));
            SendText(CramMD5Response(smtpAuthAccount_, smtpAuthPassword_, DecodeBase64(encoded)), true);
            authenticated = WaitReply();
        }
    } else if (smtpAuthType_ == SA_LOGIN) {
        Command(TSMTPState::AuthLogin1, "AUTH LOGIN");
        if (WaitReply()) {
            Command(TSMTPState::AuthLogin2, EncodeBase64(smtpAuthAccount_));
            if (WaitReply()) {
                SendText(EncodeBase64(smtpAuthPassword_), true);
                authenticated = WaitReply();
            }
        }
    }
    if (!authenticated) return kMailAuthFailed;

    Command(TSMTPState::Mail, "MAIL FROM: <" + fromAddress_ + ">");
    if (!WaitReply()) return kMailFromRefused;

    Command(TSMTPState::Rcpt, "RCPT TO: <" + toAddress_ + ">");
    if (!WaitReply()) return kMailRecipientRefused;

    Command(TSMTPState::Data, "DATA");
    if (!WaitReply()) return kMailDataRefused;

    std::string message;
    ComposeMessage(&message);
    state_ = TSMTPState::EndOfData;
    message += "\r\n.\r\n";
    SendStream(message);
    return WaitReply() ? kMailSent : kMailMessageRefused;
}

int32_t TSMTPMail::SendMail() {
    if (ServerName().empty()) return kMailNoServer;
    if (fromAddress_.empty() && !nullFromAddress_) return kMailNoSender;
    if (toAddress_.empty()) return kMailNoRecipient;

    state_ = TSMTPState::Connect;
    pending_.clear();
    errorText_.clear();
    if (mailTimeout_ > 0) {
        SetDeadline(std::chrono::steady_clock::now() + std::chrono::seconds(mailTimeout_));
    } else {
        ClearDeadline();
    }
    SetConnectTimeout(timeoutVal_);
    AddLog("Connect Server");
    if (!Connect()) {
        AddLog("Resolve Time Out");
        if (DeadlineReached() || WinsockError() == platform::kConnectTimedOut) {
            errorText_ = "connect timed out";
        }
        ClearDeadline();
        return kMailNoConnection;
    }
    int32_t result;
    if (tlsMode_ == ST_IMPLICIT && !NegotiateTls()) {
        result = kMailTlsFailed;
    } else {
        result = WaitReply() ? RunTransaction() : kMailGreetingRefused;
    }

    // After a failed handshake the connection speaks neither plain text nor
    // TLS: nothing more is sent on it.
    if (result != kMailTlsFailed) {
        Command(TSMTPState::Quit, "QUIT");
        if (WaitReply()) AddLog("Disconnect Server");
    }
    if (result != kMailSent && errorText_.empty() && DeadlineReached()) {
        errorText_ = "mail deadline reached";
    }
    Disconnect();
    ClearDeadline();
    return result;
}

}  // namespace quorvel
