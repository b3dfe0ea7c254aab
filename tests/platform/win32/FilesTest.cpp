// The Windows file backends: exclusive appends through the sharing mode,
// folder creation and the local clock's zone bias.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/Clock.h"
#include "platform/FileAppend.h"
#include "platform/Folders.h"
#include "TestFiles.h"

namespace quorvel::platform {
namespace {

class Win32FilesTest : public ::testing::Test {
protected:
    test::TempFolder dir;
    const std::string folder = dir.path();
};

TEST_F(Win32FilesTest, AnyOtherOpenerKeepsTheFileLocked) {
    const std::string path = folder + "a.log";
    ASSERT_EQ(AppendToFile(path, "kept\r\n"), AppendStatus::Written);
    // A reader that shares everything still blocks an exclusive open, as a
    // log viewer holding the file does on Windows.
    for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        int error = 0;
        EXPECT_EQ(AppendToFile(path, "lost\r\n", &error), AppendStatus::Locked) << share;
        EXPECT_EQ(error, ERROR_SHARING_VIOLATION) << share;
        CloseHandle(other);
    }
    EXPECT_EQ(AppendToFile(path, "after\r\n"), AppendStatus::Written);
    EXPECT_EQ(test::ReadFile(path), "kept\r\nafter\r\n");
}

TEST_F(Win32FilesTest, MissingFolderIsToldApartAndMadeAgain) {
    int error = 0;
    EXPECT_EQ(AppendToFile(folder + "sub\\a.log", "x", &error), AppendStatus::NoFolder);
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(CreateFolder(folder + "sub"));
    EXPECT_TRUE(CreateFolder(folder + "sub"));  // already there
    EXPECT_FALSE(CreateFolder(folder + "none\\deeper"));
    ASSERT_EQ(AppendToFile(folder + "sub\\a.log", "x"), AppendStatus::Written);
    EXPECT_FALSE(CreateFolder(folder + "sub\\a.log"));  // a file, not a folder
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
    const long long localAsUtc = _mkgmtime(&parts);
    const long long utc = localAsUtc - 60LL * t.UtcOffsetMinutes;
    EXPECT_LE(std::llabs(utc - static_cast<long long>(std::time(nullptr))), 2) << "offset " << t.UtcOffsetMinutes;
    EXPECT_EQ(t.DayOfWeek, parts.tm_wday);
    EXPECT_GE(t.Millisecond, 0);
    EXPECT_LT(t.Millisecond, 1000);
    const char* expect = std::getenv("QUORVEL_EXPECT_UTC_OFFSET");
    if (expect) {
        EXPECT_EQ(t.UtcOffsetMinutes, std::atoi(expect));
    }
}

}  // namespace
}  // namespace quorvel::platform
