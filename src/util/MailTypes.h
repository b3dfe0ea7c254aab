#pragma once
// Mail settings shared by the configuration and the SMTP client.

namespace quorvel {

enum TSMTPAuthType { SA_NONE, SA_CRAMMD5, SA_LOGIN };

}  // namespace quorvel
