// The Windows file backends: appends past readers' handles and locks,
// folder creation and the local clock's zone bias.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "TestFiles.h"
#include "platform/Clock.h"
#include "platform/FileAppend.h"
#include "platform/Folders.h"

namespace quorvel::platform {
namespace {

// A reader's open handle never stops an append; only one that itself shares
// no writing does. A reader's range lock is waited for by a caller that needs
// the lock, and passed by one that does not, unless it covers the end of the
// file, where the system itself refuses the write.
TEST(Win32FilesTest, OnlyAnOpenerThatSharesNoWritingOrALockOverTheEndKeepsAnAppendOut) {
    test::TempFolder dir;
    const std::string path = dir.path() + "a.log";
    ASSERT_EQ(AppendToFile(path, "kept\r\n"), 0);
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const struct {
        DWORD share;
        DWORD lockedBytes;  // a shared lock from the start; MAXDWORD reaches far past the end
        int required, ifFree;
    } cases[] = {
        {all, 0, 0, 0},
        {FILE_SHARE_READ, 0, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {all, 6, ERROR_LOCK_VIOLATION, 0},
        {all, MAXDWORD, ERROR_LOCK_VIOLATION, ERROR_LOCK_VIOLATION},
    };
    std::string expected = "kept\r\n";
    for (const auto& c : cases) {
        HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        OVERLAPPED from{};
        if (c.lockedBytes != 0) { ASSERT_TRUE(LockFileEx(other, 0, 0, c.lockedBytes, 0, &from)); }
        for (const AppendLock mode : {AppendLock::Required, AppendLock::IfFree}) {
            bool skipped = false;
            const int code = AppendToFile(path, "line\r\n", mode, &skipped);
            const int want = mode == AppendLock::Required ? c.required : c.ifFree;
            // Windows refuses a write into another handle's locked range;
            // Wine does not enforce the lock, and takes it.
            const bool unenforced = want == ERROR_LOCK_VIOLATION && mode == AppendLock::IfFree && code == 0;
            EXPECT_TRUE(code == want || unenforced) << code << " " << c.share << " " << c.lockedBytes;
            if (code == 0) expected += "line\r\n";
            EXPECT_TRUE(code == 0 || AppendFailureOf(code) == AppendFailure::Locked) << code;
            EXPECT_EQ(skipped, code == 0 && c.lockedBytes != 0);
        }
        CloseHandle(other);
    }
    EXPECT_EQ(test::ReadFile(path), expected);

    const int missing = AppendToFile(dir.path() + "sub\\a.log", "x");
    EXPECT_EQ(AppendFailureOf(missing), AppendFailure::NoFolder) << missing;
    EXPECT_EQ(CreateFolder(dir.path() + "sub"), 0);
    EXPECT_EQ(CreateFolder(dir.path() + "sub"), 0);  // already there
    EXPECT_EQ(AppendToFile(dir.path() + "sub", "x"), int{ERROR_DIRECTORY});  // a folder never takes a line
    EXPECT_EQ(CreateFolder(dir.path() + "none\\deeper"), int{ERROR_PATH_NOT_FOUND});
    EXPECT_EQ(CreateFolder(path), int{ERROR_ALREADY_EXISTS});  // a file, not a folder
}

TEST(Win32ClockTest, LocalTimeMinusOffsetIsUtc) {
    // Windows counts its bias the other way round (UTC minus local): a sign
    // slip shows as twice the offset wherever the zone is not UTC (the
    // Windows test run sets TZ for Wine to a zone east of UTC).
    const LocalTime t = LocalNow();
    std::tm parts{};
    parts.tm_year = t.Year - 1900;
    parts.tm_mon = t.Month - 1;
    parts.tm_mday = t.Day;
    parts.tm_hour = t.Hour;
    parts.tm_min = t.Minute;
    parts.tm_sec = t.Second;
    const long long utc = _mkgmtime(&parts) - 60LL * t.UtcOffsetMinutes;
    EXPECT_LE(std::llabs(utc - static_cast<long long>(std::time(nullptr))), 2) << "offset " << t.UtcOffsetMinutes;
    EXPECT_EQ(t.DayOfWeek, parts.tm_wday);
    EXPECT_TRUE(t.Millisecond >= 0 && t.Millisecond < 1000) << t.Millisecond;
    if (const char* expect = std::getenv("QUORVEL_EXPECT_UTC_OFFSET")) {
        EXPECT_EQ(t.UtcOffsetMinutes, std::atoi(expect));
    }
}

}  // namespace
}  // namespace quorvel::platform
