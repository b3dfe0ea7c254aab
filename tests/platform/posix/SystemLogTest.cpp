#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <map>

#include "SjisReference.h"
#include "platform/ServiceEnvironment.h"
#include "platform/posix/UnixDatagramSink.h"

namespace quorvel::platform {
namespace {

using test::ScopedEnv;
using test::Sjis;
using test::UnixDatagramSink;

// Parses systemd's native journal datagram, both field forms.
std::map<std::string, std::string> Fields(const std::string& d) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < d.size()) {
        size_t nl = d.find('\n', i);
        if (nl == std::string::npos) break;
        std::string line = d.substr(i, nl - i);
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            out[line.substr(0, eq)] = line.substr(eq + 1);
            i = nl + 1;
            continue;
        }
        uint64_t size = 0;
        for (int b = 0; b < 8; ++b) size |= static_cast<uint64_t>(static_cast<unsigned char>(d[nl + 1 + b])) << (8 * b);
        out[line] = d.substr(nl + 9, size);
        i = nl + 9 + size + 1;
    }
    return out;
}

TEST(SystemLogTest, EntriesReachTheJournalAsUtf8WithTheirOwnFields) {
    UnixDatagramSink sink;
    ASSERT_TRUE(sink.Bound());
    ScopedEnv env("QUORVEL_JOURNAL_SOCKET", sink.Path());
    auto source = DefaultServiceEnvironment().Log->OpenEventSource("QuorvelService", false);
    struct Case {
        int type;
        uint32_t id;
        std::string utf8;
        const char* priority;
    } cases[] = {
        {kEventError, 3, u8"設定ファイルに不備がありサービスを開始できませんでした。", "3"},
        {kEventSuccess, 1, u8"Quorvel Server が開始しました", "6"},
        {kEventError, 0, u8"サービス失敗 実行: line one\nline two", "3"},
        {kEventError, 4294967295u, "", "3"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        source->Report(c.type, 0, c.id, Sjis(c.utf8));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no console echo in service mode";
        std::string d;
        ASSERT_TRUE(sink.Receive(d, 1000));
        auto f = Fields(d);
        EXPECT_EQ(f["MESSAGE"], c.utf8);
        EXPECT_EQ(f["PRIORITY"], c.priority);
        EXPECT_EQ(f["SYSLOG_IDENTIFIER"], "QuorvelService");
        EXPECT_EQ(f["QUORVEL_EVENT_ID"], std::to_string(c.id));
        EXPECT_EQ(f["QUORVEL_EVENT_CATEGORY"], "0");
    }
}

}  // namespace
}  // namespace quorvel::platform
