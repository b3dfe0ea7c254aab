#pragma once
// What the counters of the instances read like: the short status line for the
// service manager and the console, and the statistics line of an operation
// log. Pure functions; safe from any thread.

#include <cstdint>
#include <string>

#include "server/InstanceCounters.h"

namespace quorvel {

// Counter by counter sum, for the figures of several instances together.
TCounterSnapshot& operator+=(TCounterSnapshot& total, const TCounterSnapshot& add);

// Lines and datagrams lost after all, every cause together.
uint64_t DroppedTotal(const TCounterSnapshot& counters);

// Decimal with a comma between groups of three digits: 1,204,311.
std::string GroupThousands(uint64_t value);

// One short ASCII line for `systemctl status` and the console, e.g.
// "received 1,204,311; written 1,204,311; dropped 0; mails 3 sent, 0 failed".
// What is usually zero (the causes of a loss, oversized datagrams, mails not
// queued or held back, everything of TCP and TLS reception and of the
// allow-list) appears only when it is not.
std::string FormatStatusLine(const TCounterSnapshot& counters);

// The operation-log message (Shift_JIS) with every counter, in a fixed order
// so that the lines of one file line up; atStop names the totals at the stop.
// streams adds the counts of TCP and TLS reception and of the allow-list
// (an instance that has either), so that a UDP-only instance's lines stay as
// they were.
std::string FormatStatisticsLine(const TCounterSnapshot& counters, bool atStop, bool streams = false);

}  // namespace quorvel
