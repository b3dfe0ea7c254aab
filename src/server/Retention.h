#pragma once
// Which old log files to delete and which to compress, decided from their
// names alone: pure, no clock and no file system (the caller lists the
// folder and says what today is). Safe from any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FolderListing.h"
#include "server/Settings.h"

namespace quorvel {

// What a compressed log is called beside its original, and while it is
// being written (a name no reader takes for a finished file).
inline constexpr std::string_view kCompressedSuffix = ".gz";
inline constexpr std::string_view kCompressingSuffix = ".gz.tmp";

// A log file name pattern (%Y, %M and %D in any letter case, as the server
// expands them) read backwards: from a name to the days it covers.
class TDatedPattern {
public:
    explicit TDatedPattern(std::string_view pattern);

    // True when the names carry a year, so that a name tells its age; a name
    // without one is used again every year (or is always the same file).
    bool Dated() const { return hasYear_; }
    // The number of the last day that a file of this name takes lines for
    // (the month's last day for a monthly name), counted as DayNumber does;
    // false when the pattern cannot have produced the name.
    bool LastDayOf(std::string_view name, long long& day) const;

private:
    enum TField : char { fLiteral, fYear, fMonth, fDay };
    struct TPart {
        TField Field;
        std::string Text;  // fLiteral only
    };
    std::vector<TPart> parts_;
    bool hasYear_ = false;
    bool hasMonth_ = false;
    bool hasDay_ = false;
};

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long long DayNumber(int year, int month, int day);
int DaysInMonth(int year, int month);

struct TRetentionPlan {
    // Oldest first. Compress holds originals only; each becomes its own name
    // with kCompressedSuffix.
    std::vector<platform::FolderEntry> Delete;
    std::vector<platform::FolderEntry> Compress;
};

// A file whose last day lies more than KeepDays before today is deleted, its
// compressed copy with it; one more than CompressAfterDays old is
// compressed unless a compressed copy is already there. Only regular files
// whose names one of the patterns gives (or those names with
// kCompressedSuffix, or the leftover of a compression cut short) count;
// links, folders, other names and the names in `inUse` (the files written
// now) are never chosen.
TRetentionPlan PlanRetention(const std::vector<std::string>& patterns,
                             const std::vector<platform::FolderEntry>& listing, const platform::LocalTime& today,
                             const TRetentionSettings& settings, const std::vector<std::string>& inUse);

}  // namespace quorvel
