#pragma once
// The texts of a sender's address, the same for a datagram and a connection.
// Pure; safe from any thread.

#include <string>

#include "platform/UdpSocket.h"

namespace quorvel {

// The raw sender text: dotted decimal, or eight groups of four upper-case
// hex digits (ipv6: the socket's family, which decides the form).
void AppendSenderText(std::string& text, const platform::SenderAddress& address, bool ipv6);

// The raw text as the received-message line shows it: IPv6 shortened.
std::string LineSenderText(const std::string& raw);

}  // namespace quorvel
