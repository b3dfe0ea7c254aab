#pragma once
// Types shared by the configuration and the mail client.

namespace quorvel {

// SMTP authentication methods: none, CRAM-MD5 (RFC 2195) or LOGIN.
enum TSMTPAuthType { SA_NONE = 0, SA_CRAMMD5 = 1, SA_LOGIN = 2 };

}  // namespace quorvel
