#include "server/Statistics.h"

#include "server/ServerTexts.h"

namespace quorvel {

TCounterSnapshot& operator+=(TCounterSnapshot& total, const TCounterSnapshot& add) {
    for (const TCounterField& f : kCounterFields) total.*f.Value += add.*f.Value;
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
    return line;
}

std::string FormatStatisticsLine(const TCounterSnapshot& c, bool atStop) {
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
    return line;
}

}  // namespace quorvel
