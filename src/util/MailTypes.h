#pragma once
// Types shared by the configuration and the mail client.

namespace quorvel {

// SMTP authentication methods: none, CRAM-MD5 (RFC 2195) or LOGIN.
enum TSMTPAuthType { SA_NONE = 0, SA_CRAMMD5 = 1, SA_LOGIN = 2 };

// TLS of the SMTP connection: none (plain text), STARTTLS after the first
// EHLO (RFC 3207), or TLS from the first byte (implicit, RFC 8314 port 465).
enum TSMTPTlsMode { ST_NONE = 0, ST_STARTTLS = 1, ST_IMPLICIT = 2 };

// The charset of alert mail: ISO-2022-JP (RFC 1468), where characters
// outside JIS become the geta mark, or UTF-8, which carries every character.
enum TMailCharset { MC_ISO2022JP = 0, MC_UTF8 = 1 };

}  // namespace quorvel
