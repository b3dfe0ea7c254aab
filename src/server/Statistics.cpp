// The texts of the counters: sums, the status line for the service manager
// and the statistics line of an operation log.

#include "server/Statistics.h"

#include "server/ServerTexts.h"

namespace quorvel {

TCounterSnapshot& operator+=(TCounterSnapshot& total, const TCounterSnapshot& add) {
    for (uint64_t TCounterSnapshot::*field : TCounterSnapshot::kFields) total.*field += add.*field;
    return total;
}

uint64_t DroppedTotal(const TCounterSnapshot& c) {
    return c.DroppedKernel + c.DroppedQueue + c.DroppedLocked + c.DroppedWriteFailed;
}

std::string GroupThousands(uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string FormatStatusLine(const TCounterSnapshot& c) {
    std::string line = "received " + GroupThousands(c.Received) + "; written " + GroupThousands(c.Written) +
                       "; dropped " + GroupThousands(DroppedTotal(c));
    if (DroppedTotal(c) > 0) {
        const struct {
            const char* name;
            uint64_t count;
        } causes[] = {{"kernel", c.DroppedKernel},
                      {"queue full", c.DroppedQueue},
                      {"file locked", c.DroppedLocked},
                      {"write failed", c.DroppedWriteFailed}};
        const char* separator = " (";
        for (const auto& cause : causes) {
            if (cause.count == 0) continue;
            line += separator;
            line += cause.name;
            line += ' ';
            line += GroupThousands(cause.count);
            separator = ", ";
        }
        line += ')';
    }
    if (c.LockSkipped > 0) line += "; lock skipped " + GroupThousands(c.LockSkipped);
    if (c.Oversized > 0) line += "; oversized " + GroupThousands(c.Oversized);
    line += "; mails " + GroupThousands(c.MailsSent) + " sent, " + GroupThousands(c.MailsFailed) + " failed";
    if (c.MailsDroppedQueue > 0) line += ", " + GroupThousands(c.MailsDroppedQueue) + " not queued";
    if (c.MailsHeld > 0) line += ", " + GroupThousands(c.MailsHeld) + " held";
    if (c.ReceivedTcp > 0 || c.ReceivedTls > 0) {
        line += "; tcp " + GroupThousands(c.ReceivedTcp) + ", tls " + GroupThousands(c.ReceivedTls);
    }
    if (c.FramesCut > 0) line += "; cut " + GroupThousands(c.FramesCut);
    if (c.FramesTruncated > 0) line += "; truncated " + GroupThousands(c.FramesTruncated);
    if (c.ConnectionsAccepted > 0 || c.ConnectionsRefused > 0) {
        line += "; connections " + GroupThousands(c.ConnectionsOpen) + " open, " +
                GroupThousands(c.ConnectionsAccepted) + " accepted, " + GroupThousands(c.ConnectionsRefused) +
                " refused, " + GroupThousands(c.ConnectionsFailed) + " failed";
    }
    if (c.SendersRefused > 0) line += "; senders refused " + GroupThousands(c.SendersRefused);
    return line;
}

std::string FormatStatisticsLine(const TCounterSnapshot& c, bool atStop, bool streams) {
    std::string line = atStop ? texts::kLogStatsAtStop : texts::kLogStatsPeriodic;
    // Plain digits: the log is read by scripts as well as by people.
    auto count = [&line](const char* label, uint64_t value) {
        line += label;
        line += std::to_string(value);
        line += texts::kLogCountMessages;
    };
    count(texts::kLogStatsReceived, c.Received);
    count(texts::kLogStatsWritten, c.Written);
    count(texts::kLogStatsDropped, DroppedTotal(c));
    line += texts::kLogStatsDroppedKernel + std::to_string(c.DroppedKernel);
    line += texts::kLogStatsDroppedQueue + std::to_string(c.DroppedQueue);
    line += texts::kLogStatsDroppedLocked + std::to_string(c.DroppedLocked);
    line += texts::kLogStatsDroppedWriteFailed + std::to_string(c.DroppedWriteFailed) + ")";
    count(texts::kLogStatsOversized, c.Oversized);
    count(texts::kLogStatsKeywordMatches, c.KeywordMatches);
    count(texts::kLogStatsMailsSent, c.MailsSent);
    count(texts::kLogStatsMailsFailed, c.MailsFailed);
    count(texts::kLogStatsMailsDropped, c.MailsDroppedQueue);
    count(texts::kLogStatsMailsHeld, c.MailsHeld);
    if (!streams) return line;
    count(texts::kLogStatsTcp, c.ReceivedTcp);
    count(texts::kLogStatsTls, c.ReceivedTls);
    count(texts::kLogStatsSendersRefused, c.SendersRefused);
    count(texts::kLogStatsCut, c.FramesCut);
    count(texts::kLogStatsTruncated, c.FramesTruncated);
    const auto connections = [&line](const char* label, uint64_t value) {
        line += label;
        line += std::to_string(value);
        line += texts::kLogCountConnections;
    };
    connections(texts::kLogStatsConnectionsOpen, c.ConnectionsOpen);
    connections(texts::kLogStatsConnectionsAccepted, c.ConnectionsAccepted);
    connections(texts::kLogStatsConnectionsRefused, c.ConnectionsRefused);
    connections(texts::kLogStatsConnectionsFailed, c.ConnectionsFailed);
    return line;
}

}  // namespace quorvel
