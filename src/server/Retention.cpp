// The retention plan: dated log names read back from their patterns, and
// which old files to delete and which to compress.

#include "server/Retention.h"

#include <algorithm>
#include <tuple>
#include <unordered_set>

#include "util/Chars.h"

namespace quorvel {

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The value of `width` decimal digits at the start of text, or -1.
int Digits(std::string_view text, size_t width) {
    if (text.size() < width) return -1;
    int value = 0;
    for (size_t i = 0; i < width; ++i) {
        if (text[i] < '0' || text[i] > '9') return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// A field met twice must read the same both times.
bool Take(int& slot, int value) {
    if (slot >= 0 && slot != value) return false;
    slot = value;
    return true;
}

}  // namespace

long long DayNumber(int year, int month, int day) {
    // Days from civil (H. Hinnant): March-based years put the leap day last.
    const long long y = static_cast<long long>(year) - (month <= 2 ? 1 : 0);
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long mp = (month + 9) % 12;
    const long long doy = (153 * mp + 2) / 5 + day - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[(month - 1) % 12];
}

TDatedPattern::TDatedPattern(std::string_view pattern) {
    // The same reading as the server's expansion: "%" and one of the three
    // letters is a field, any other "%" is an ordinary byte.
    std::string literal;
    auto flush = [&] {
        if (!literal.empty()) parts_.push_back({fLiteral, literal});
        literal.clear();
    };
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size()) {
            const char letter = UpperAscii(pattern[i + 1]);
            const TField field = letter == 'Y' ? fYear : letter == 'M' ? fMonth : letter == 'D' ? fDay : fLiteral;
            if (field != fLiteral) {
                flush();
                parts_.push_back({field, {}});
                (field == fYear ? hasYear_ : field == fMonth ? hasMonth_ : hasDay_) = true;
                ++i;
                continue;
            }
        }
        literal += pattern[i];
    }
    flush();
}

bool TDatedPattern::LastDayOf(std::string_view name, long long& day) const {
    if (!hasYear_) return false;
    int year = -1, month = -1, dayOfMonth = -1;
    size_t at = 0;
    for (const TPart& part : parts_) {
        const std::string_view rest = name.substr(at);
        if (part.Field == fLiteral) {
            if (rest.substr(0, part.Text.size()) != part.Text) return false;
            at += part.Text.size();
            continue;
        }
        // Years of four digits, as the server writes them until 9999.
        const size_t width = part.Field == fYear ? 4 : 2;
        const int value = Digits(rest, width);
        if (value < 0) return false;
        int& slot = part.Field == fYear ? year : part.Field == fMonth ? month : dayOfMonth;
        if (!Take(slot, value)) return false;
        at += width;
    }
    if (at != name.size()) return false;
    if (hasMonth_ && (month < 1 || month > 12)) return false;
    // Without a month the name covers the whole year, without a day the
    // whole month: its last day is the one that counts, so that nothing is
    // taken while lines may still go into it.
    if (!hasMonth_) month = 12;
    if (hasDay_ && (dayOfMonth < 1 || dayOfMonth > DaysInMonth(year, month))) return false;
    if (!hasDay_) dayOfMonth = DaysInMonth(year, month);
    day = DayNumber(year, month, dayOfMonth);
    return true;
}

namespace {

// A file chosen for deletion or compression, in the order the plan keeps:
// the oldest first, by name among one day's.
struct TChosen {
    long long Day;
    const platform::FolderEntry* Entry;
    bool operator<(const TChosen& other) const {
        return std::tie(Day, Entry->Name) < std::tie(other.Day, other.Entry->Name);
    }
};

// The last day of the first pattern that names the file.
bool LastDayOfAny(const std::vector<TDatedPattern>& patterns, std::string_view name, long long& last) {
    for (const TDatedPattern& pattern : patterns) {
        if (pattern.LastDayOf(name, last)) return true;
    }
    return false;
}

}  // namespace

TRetentionPlan PlanRetention(const std::vector<std::string>& patterns,
                             const std::vector<platform::FolderEntry>& listing, const platform::LocalTime& today,
                             const TRetentionSettings& settings, const std::vector<std::string>& inUse) {
    TRetentionPlan plan;
    if (settings.KeepDays <= 0 && settings.CompressAfterDays <= 0) return plan;
    std::vector<TDatedPattern> dated;
    for (const std::string& pattern : patterns) {
        TDatedPattern read(pattern);
        if (read.Dated()) dated.push_back(std::move(read));
    }
    const long long todayNumber = DayNumber(today.Year, today.Month, today.Day);
    std::unordered_set<std::string> files;
    for (const platform::FolderEntry& entry : listing) {
        if (entry.Kind == platform::EntryKind::File) files.insert(entry.Name);
    }

    std::vector<TChosen> deletions, compressions;
    for (const platform::FolderEntry& entry : listing) {
        if (entry.Kind != platform::EntryKind::File) continue;
        if (std::find(inUse.begin(), inUse.end(), entry.Name) != inUse.end()) continue;
        std::string_view base = entry.Name;
        const bool leftover = EndsWith(base, kCompressingSuffix);
        const bool compressed = !leftover && EndsWith(base, kCompressedSuffix);
        if (leftover) base.remove_suffix(kCompressingSuffix.size());
        if (compressed) base.remove_suffix(kCompressedSuffix.size());
        long long last = 0;
        if (!LastDayOfAny(dated, base, last)) continue;
        const long long age = todayNumber - last;
        const bool expired = settings.KeepDays > 0 && age > settings.KeepDays;
        const bool due = settings.CompressAfterDays > 0 && age > settings.CompressAfterDays;
        if (expired || (leftover && due)) {
            // A leftover is from a run cut short: the next compression of
            // its original starts from nothing again.
            deletions.push_back({last, &entry});
        } else if (due && !leftover && !compressed && files.count(entry.Name + std::string(kCompressedSuffix)) == 0) {
            compressions.push_back({last, &entry});
        }
    }
    std::sort(deletions.begin(), deletions.end());
    std::sort(compressions.begin(), compressions.end());
    for (const TChosen& chosen : deletions) plan.Delete.push_back(*chosen.Entry);
    for (const TChosen& chosen : compressions) plan.Compress.push_back(*chosen.Entry);
    return plan;
}

}  // namespace quorvel
