// Old logs on a real POSIX folder: gzip beside the original that any gunzip
// reads back byte for byte, and a compression killed midway.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "platform/FolderListing.h"
#include "server/LogCompression.h"

namespace quorvel {
namespace {

std::set<std::string> Names(const std::string& folder) {
    std::vector<platform::FolderEntry> entries;
    EXPECT_EQ(platform::ListFolder(folder, entries), 0);
    std::set<std::string> names;
    for (const platform::FolderEntry& e : entries) names.insert(e.Name);
    return names;
}

// Lines of a log, different enough that the deflate stream runs over many pieces.
std::string LogLines(size_t bytes) {
    std::string text;
    unsigned long long x = 88172645463325252ULL;
    while (text.size() < bytes) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        text += "2026/12/08 03:00:00.123 192.0.2." + std::to_string(x % 255) + " <13>host app[" +
                std::to_string(x % 99991) + "]: \x83\x65\x83\x58\x83\x67 " + std::to_string(x) + "\r\n";
    }
    return text;
}

std::string Gunzip(const std::string& path) {
    std::string out;
    FILE* pipe = popen(("gzip -dc '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return "(no gzip)";
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    return pclose(pipe) == 0 ? out : "(gzip failed)";
}

TEST(LogCompressionTest, TheCompressedCopyReadsBackByteForByteAndReplacesTheOriginal) {
    for (const size_t size : {size_t{0}, size_t{3} << 20}) {
        test::TempFolder dir;
        const std::string path = dir.path() + "2026-01-syslog.log";
        const std::string original = LogLines(size);
        test::WriteFile(path, original);
        test::WriteFile(path + ".gz.tmp", "left by a run cut short");
        TCompressOutcome outcome;
        ASSERT_EQ(CompressLogFile(path, nullptr, outcome), 0) << outcome.Step;
        EXPECT_EQ(Names(dir.path()), std::set<std::string>{"2026-01-syslog.log.gz"});
        EXPECT_EQ(Gunzip(path + ".gz"), original) << size;
        EXPECT_EQ(outcome.OriginalBytes, original.size());
        struct stat st {};
        ASSERT_EQ(stat((path + ".gz").c_str(), &st), 0);
        EXPECT_EQ(outcome.CompressedBytes, static_cast<uint64_t>(st.st_size));
        EXPECT_EQ(st.st_mode & 0777, 0640u) << "no wider than the logs";
        EXPECT_LE(st.st_size, static_cast<off_t>(size / 3 + 64)) << "compressed";
        // A second run finds the name taken: the original stays, nothing is
        // replaced.
        test::WriteFile(path, original);
        EXPECT_NE(CompressLogFile(path, nullptr, outcome), 0);
        EXPECT_EQ(outcome.Step, "rename");
        EXPECT_EQ(test::ReadFile(path), original);
        EXPECT_EQ(Gunzip(path + ".gz"), original);
        EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"2026-01-syslog.log", "2026-01-syslog.log.gz"}));
    }
    // A stop asked for midway, and a link in the original's place.
    test::TempFolder dir;
    test::WriteFile(dir.path() + "a.log", LogLines(1 << 20));
    int asked = 0;
    TCompressOutcome outcome;
    EXPECT_EQ(CompressLogFile(dir.path() + "a.log", [&] { return ++asked < 3; }, outcome), kCompressCancelled);
    ASSERT_EQ(symlink("a.log", (dir.path() + "b.log").c_str()), 0);
    EXPECT_EQ(CompressLogFile(dir.path() + "b.log", nullptr, outcome), ELOOP);
    EXPECT_EQ(outcome.Step, "open");
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"a.log", "b.log"}));
}

// SIGKILL leaves no chance to clean up: what is on the disk then is all the
// next start finds.
TEST(LogCompressionTest, AKilledCompressionLeavesTheOriginalAndNoCompleteLookingCopy) {
    test::TempFolder dir;
    const std::string path = dir.path() + "20261101.log";
    const std::string original = LogLines(8 << 20);
    test::WriteFile(path, original);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int pieces = 0;
        TCompressOutcome outcome;
        // Halts itself with a few pieces written, for the parent to kill.
        CompressLogFile(path, [&] {
            if (++pieces == 4) raise(SIGSTOP);
            return true;
        }, outcome);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status));
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(test::ReadFile(path), original);
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"20261101.log", "20261101.log.gz.tmp"}));
    // The next run starts again from the original.
    TCompressOutcome outcome;
    ASSERT_EQ(CompressLogFile(path, nullptr, outcome), 0) << outcome.Step;
    EXPECT_EQ(Gunzip(path + ".gz"), original);
}

}  // namespace
}  // namespace quorvel
