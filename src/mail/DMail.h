#pragma once
// One outgoing mail and the SMTP dialogue that delivers it: the header block
// and ISO-2022-JP body, HELO/EHLO, AUTH CRAM-MD5 or LOGIN, MAIL, RCPT, DATA,
// QUIT over plain TCP, STARTTLS or implicit TLS. One object is used by one
// thread; nothing is shared.

#include <cstdint>
#include <string>
#include <vector>

#include "net/DBaseSocket.h"
#include "util/MailTypes.h"

namespace quorvel {

// The greeting: EHLO is needed for AUTH (RFC 4954) and STARTTLS.
enum TStartCommand : int32_t { SC_HELO = 0, SC_EHLO = 1 };

// SendMail's results: 0 when the server accepted the mail, else the step
// that failed.
inline constexpr int32_t kMailSent = 0;
inline constexpr int32_t kMailHelloRefused = -1;
inline constexpr int32_t kMailFromRefused = -2;
inline constexpr int32_t kMailRecipientRefused = -3;
inline constexpr int32_t kMailDataRefused = -4;
inline constexpr int32_t kMailMessageRefused = -5;
inline constexpr int32_t kMailAuthFailed = -6;
inline constexpr int32_t kMailNoConnection = -11;
inline constexpr int32_t kMailNoSender = -12;
inline constexpr int32_t kMailNoRecipient = -13;
inline constexpr int32_t kMailNoServer = -14;
inline constexpr int32_t kMailStartTlsFailed = -15;  // not offered or refused
inline constexpr int32_t kMailTlsFailed = -16;       // the handshake, a refused certificate included
inline constexpr int32_t kMailGreetingRefused = -99;

class TSMTPMail : public TDBaseSocket {
public:
    using TLines = std::vector<std::string>;

    TSMTPMail();
    ~TSMTPMail() override;

    // Silent reply periods tolerated beyond the first, and their length in seconds.
    int32_t TimeoutCount() const { return timeoutCount_; }
    void SetTimeoutCount(int32_t count) { timeoutCount_ = count; }
    int32_t TimeoutVal() const { return timeoutVal_; }
    void SetTimeoutVal(int32_t seconds) { timeoutVal_ = seconds; }
    // Seconds one SendMail may take in all, connect and QUIT included;
    // 0 or less: no limit beyond the single waits.
    int32_t MailTimeout() const { return mailTimeout_; }
    void SetMailTimeout(int32_t seconds) { mailTimeout_ = seconds; }

    TSMTPTlsMode TlsMode() const { return tlsMode_; }
    void SetTlsMode(TSMTPTlsMode v) { tlsMode_ = v; }
    // Check the server's certificate chain and name (ServerName).
    bool TlsVerify() const { return tlsVerify_; }
    void SetTlsVerify(bool v) { tlsVerify_ = v; }
    // PEM file of the authorities to trust; empty: the system's store.
    const std::string& TlsCaFile() const { return tlsCaFile_; }
    void SetTlsCaFile(const std::string& v) { tlsCaFile_ = v; }
    // Why the last SendMail failed when the cause was TLS or the deadline;
    // empty otherwise.
    const std::string& ErrorText() const { return errorText_; }

    const std::string& FromAddress() const { return fromAddress_; }
    void SetFromAddress(const std::string& v) { fromAddress_ = v; }
    const std::string& ToAddress() const { return toAddress_; }
    void SetToAddress(const std::string& v) { toAddress_ = v; }
    // MC_UTF8: subject and body are UTF-8 and go out as such, base64 in the
    // body. MC_ISO2022JP (the default): they are Shift_JIS.
    TMailCharset Charset() const { return charset_; }
    void SetCharset(TMailCharset v) { charset_ = v; }
    // Encoded by ComposeMessage, so hand it over unencoded.
    const std::string& Subject() const { return subject_; }
    void SetSubject(const std::string& v) { subject_ = v; }

    // Body lines without line ends.
    TLines& Body() { return body_; }
    const TLines& Body() const { return body_; }
    void SetBody(const TLines& lines);

    // Complete Message-ID value; empty means generate one.
    const std::string& MessageID() const { return messageID_; }
    void SetMessageID(const std::string& v) { messageID_ = v; }
    const std::string& X_Mailer() const { return xMailer_; }
    void SetX_Mailer(const std::string& v) { xMailer_ = v; }
    TStartCommand StartCommandType() const { return startCommandType_; }
    void SetStartCommandType(TStartCommand v) { startCommandType_ = v; }
    TSMTPAuthType SMTPAuthType() const { return smtpAuthType_; }
    void SetSMTPAuthType(TSMTPAuthType v) { smtpAuthType_ = v; }
    const std::string& SMTPAuthAccount() const { return smtpAuthAccount_; }
    void SetSMTPAuthAccount(const std::string& v) { smtpAuthAccount_ = v; }
    const std::string& SMTPAuthPassword() const { return smtpAuthPassword_; }
    void SetSMTPAuthPassword(const std::string& v) { smtpAuthPassword_ = v; }
    // An empty FromAddress is sent as the null sender.
    bool NullFromAddress() const { return nullFromAddress_; }
    void SetNullFromAddress(bool v) { nullFromAddress_ = v; }

    // Delivers the mail in one connection: kMailSent or a kMail... failure.
    int32_t SendMail();
    // This machine's name for HELO/EHLO.
    std::string LocalHostName() const;

    // Appends header block, empty line and body; nothing without a buffer.
    void ComposeMessage(std::string* buffer);

private:
    enum class TSMTPState {
        Hello, Mail, Rcpt, Data, EndOfData, Quit, Connect, AuthLogin1, AuthLogin2, AuthCram1,
        StartTls
    };

    // HELO/EHLO up to the acceptance of the message.
    int32_t RunTransaction();
    // Reads one whole reply; true when it accepts.
    bool WaitReply();
    void Command(TSMTPState state, const std::string& text);
    void ConsumeReplyLine(std::string line, bool& result);
    std::string GenerateMessageID(const platform::LocalTime& t) const;
    void AppendBody(std::string& out);
    void AppendUtf8Body(std::string& out) const;
    // The handshake on the open connection; false (ErrorText set) on failure.
    bool NegotiateTls();

    int32_t timeoutCount_ = 4;
    int32_t timeoutVal_ = 30;
    int32_t mailTimeout_ = 300;
    TSMTPTlsMode tlsMode_ = ST_NONE;
    bool tlsVerify_ = true;
    std::string tlsCaFile_;
    std::string errorText_;
    // The last EHLO reply named the STARTTLS extension.
    bool startTlsOffered_ = false;
    std::string fromAddress_;
    std::string toAddress_;
    TMailCharset charset_ = MC_ISO2022JP;
    std::string subject_;
    TLines body_;
    std::string messageID_;
    std::string xMailer_;
    TStartCommand startCommandType_ = SC_HELO;
    TSMTPAuthType smtpAuthType_ = SA_NONE;
    std::string smtpAuthAccount_;
    std::string smtpAuthPassword_;
    bool nullFromAddress_ = true;

    TSMTPState state_ = TSMTPState::Connect;
    bool replyReceived_ = false;
    bool errorReply_ = false;
    std::string challenge_;
    // Bytes received beyond the reply last consumed; the next wait starts here.
    std::string pending_;
    // Body entries that were a lone "." and now hold "..", their wire form.
    std::vector<bool> dotStuffed_;
};

}  // namespace quorvel
