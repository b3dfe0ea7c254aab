// The Windows file backends: exclusive appends through the sharing mode,
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

TEST(Win32FilesTest, AnyOtherOpenerKeepsTheFileLockedAndAMissingFolderIsToldApart) {
    test::TempFolder dir;
    const std::string path = dir.path() + "a.log";
    ASSERT_EQ(AppendToFile(path, "kept\r\n"), 0);
    // A reader that shares everything still blocks an exclusive open, as a
    // log viewer holding the file does on Windows.
    for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        const int code = AppendToFile(path, "lost\r\n");
        EXPECT_EQ(code, int{ERROR_SHARING_VIOLATION}) << share;
        EXPECT_EQ(AppendFailureOf(code), AppendFailure::Locked) << share;
        CloseHandle(other);
    }
    EXPECT_EQ(AppendToFile(path, "after\r\n"), 0);
    EXPECT_EQ(test::ReadFile(path), "kept\r\nafter\r\n");

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
