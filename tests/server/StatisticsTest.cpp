// The counters as people read them: the status line of the service manager
// and the console, the statistics lines of the operation log, and the timer
// that writes them while the server serves. Counters are set by hand here;
// the end-to-end scenarios count real traffic.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SjisReference.h"
#include "TestFiles.h"
#include "platform/LoopbackUdp.h"
#include "platform/MessageQueue.h"
#include "server/QuorvelService.h"
#include "server/Statistics.h"
#include "server/StatsTimer.h"

namespace quorvel {
namespace {

using test::Sjis;
using namespace std::chrono_literals;

template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Every counter different, so that a counter shown in another's place shows.
TCounterSnapshot Distinct() {
    TCounterSnapshot c;
    c.Received = 1204311;
    c.Oversized = 2;
    c.Written = 1204300;
    c.DroppedKernel = 3;
    c.DroppedQueue = 4;
    c.DroppedLocked = 5;
    c.DroppedWriteFailed = 6;
    c.KeywordMatches = 7;
    c.MailsSent = 8;
    c.MailsFailed = 9;
    c.MailsDroppedQueue = 10;
    c.MailsHeld = 11;
    return c;
}

TEST(StatisticsTest, StatusLineShowsTheUnusualOnlyWhenItHappened) {
    TCounterSnapshot quiet;
    quiet.Received = 1204311;
    quiet.Written = 1204311;
    quiet.MailsSent = 3;
    TCounterSnapshot queueOnly = quiet;
    queueOnly.DroppedQueue = 1000;
    queueOnly.Written -= 1000;
    const struct {
        TCounterSnapshot counters;
        const char* line;
    } cases[] = {
        {TCounterSnapshot{}, "received 0; written 0; dropped 0; mails 0 sent, 0 failed"},
        {quiet, "received 1,204,311; written 1,204,311; dropped 0; mails 3 sent, 0 failed"},
        {queueOnly, "received 1,204,311; written 1,203,311; dropped 1,000 (queue full 1,000); mails 3 sent, 0 failed"},
        {Distinct(),
         "received 1,204,311; written 1,204,300; dropped 18 (kernel 3, queue full 4, file locked 5, write failed 6); "
         "oversized 2; mails 8 sent, 9 failed, 10 not queued, 11 held"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatStatusLine(c.counters), c.line);
    EXPECT_EQ(GroupThousands(999), "999");
    EXPECT_EQ(GroupThousands(18446744073709551615ull), "18,446,744,073,709,551,615");
}

TEST(StatisticsTest, StatisticsLineNamesEveryCounterInTheOperationLogsJapanese) {
    const std::string body =
        u8"受信 1204311 件、書き込み 1204300 件、破棄 18 件 (受信バッファ溢れ 3、キュー満杯 4、ロック待ち超過 5、"
        u8"書き込み失敗 6)、サイズ超過 2 件、キーワード一致 7 件、メール送信 8 件、メール送信失敗 9 件、"
        u8"メール破棄 10 件、メール抑止 11 件";
    EXPECT_EQ(FormatStatisticsLine(Distinct(), false), Sjis(u8"統計: " + body));
    EXPECT_EQ(FormatStatisticsLine(Distinct(), true), Sjis(u8"停止時の統計: " + body));
}

TEST(StatisticsTest, SumsOfInstancesAddEveryCounter) {
    TCounterSnapshot total = Distinct();
    total += Distinct();
    EXPECT_EQ(FormatStatusLine(total),
              "received 2,408,622; written 2,408,600; dropped 36 (kernel 6, queue full 8, file locked 10, write "
              "failed 12); oversized 4; mails 16 sent, 18 failed, 20 not queued, 22 held");
    EXPECT_EQ(total.KeywordMatches, 14u);
}

TEST(StatisticsTest, TimerRunsEachJobAtItsPeriodAndNothingAfterStop) {
    TStatsTimer timer;
    EXPECT_FALSE(timer.Start()) << "nothing to run";
    std::atomic<int> fast{0}, slow{0}, failing{0};
    timer.Add(20ms, [&] { ++fast; });
    timer.Add(200ms, [&] { ++slow; });
    timer.Add(20ms, [&] {
        ++failing;
        throw std::runtime_error("a job that fails");
    });
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(timer.Start());
    std::this_thread::sleep_for(500ms);
    timer.Stop();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const int fastRuns = fast, slowRuns = slow;
    // A loaded machine may run late but never early, and never twice for one tick.
    const long ticks = static_cast<long>(elapsed / 20ms);
    EXPECT_GE(fastRuns, 5);
    EXPECT_LE(fastRuns, ticks);
    EXPECT_GE(slowRuns, 1);
    EXPECT_LE(slowRuns, static_cast<int>(elapsed / 200ms));
    EXPECT_GE(failing.load(), 5) << "a failing job keeps its turns";
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fast.load(), fastRuns);
    EXPECT_FALSE(timer.Running());

    // Stopped, it can be filled and started afresh; a stop during a long
    // period does not wait for the period to end.
    timer.Add(1h, [&] { ++slow; });
    ASSERT_TRUE(timer.Start());
    const auto stopAt = std::chrono::steady_clock::now();
    timer.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 1s);
}

// The server with two instances whose counters are set by hand, run by the
// test thread as the worker.
class ServerStatisticsTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = platform::CreateMessageQueue();
        ASSERT_TRUE(queue);
        queue->AttachToCurrentThread();
        server.StatusPeriod = 30ms;
        server.ReportActivity = [this](const std::string& text, bool atStop) {
            std::lock_guard<std::mutex> guard(lock);
            (atStop ? final : live).push_back(text);
        };
    }
    void TearDown() override {
        server.StopServices();
        queue->DetachFromCurrentThread();
    }
    TSyslogService& Add(int slot, const std::string& name, int32_t statsInterval) {
        auto service = std::make_unique<TSyslogService>();
        service->SysLogPort = test::LoopbackUdp().Port;
        service->ServerIPAddress = "127.0.0.1";
        service->LogsFolder = dir.path();
        service->SystemLogName = name;
        service->StatsInterval = statsInterval;
        server.Services[static_cast<size_t>(slot)] = std::move(service);
        return *server.Services[static_cast<size_t>(slot)];
    }
    std::vector<std::string> Live() {
        std::lock_guard<std::mutex> guard(lock);
        return live;
    }
    // The operation-log messages that are statistics lines.
    std::vector<std::string> StatisticsLines(const std::string& name) {
        std::vector<std::string> out;
        const std::string text = test::ReadFile(dir.path() + name);
        for (size_t at = 0; at < text.size();) {
            const size_t end = text.find("\r\n", at);
            if (end == std::string::npos) break;  // a line being written
            const std::string message = text.substr(at + 25, end - at - 25);
            if (message.find(Sjis(u8"統計: ")) != std::string::npos) out.push_back(message);
            at = end + 2;
        }
        return out;
    }

    test::TempFolder dir;
    std::unique_ptr<platform::MessageQueue> queue;
    TSysLogServer server;
    std::mutex lock;
    std::vector<std::string> live, final;
};

TEST_F(ServerStatisticsTest, LiveStatusSumsTheInstancesAndEachLogGetsItsOwnFigures) {
    TSyslogService& first = Add(0, "first.log", 1);
    TSyslogService& third = Add(2, "third.log", 0);
    ASSERT_TRUE(server.StartServices());

    TInstanceCounters::Add(first.Counters.Received, 5);
    TInstanceCounters::Add(first.Counters.Written, 5);
    TInstanceCounters::Add(third.Counters.Received, 7);
    TInstanceCounters::Add(third.Counters.Written, 6);
    TInstanceCounters::Add(third.Counters.DroppedQueue);
    const std::string both = "received 12; written 11; dropped 1 (queue full 1); mails 0 sent, 0 failed";
    ASSERT_TRUE(WaitUntil([&] { return !Live().empty() && Live().back() == both; }, 5s));
    std::this_thread::sleep_for(100ms);
    const std::vector<std::string> offered = Live();
    EXPECT_EQ(std::count(offered.begin(), offered.end(), both), 1) << "an unchanged line is offered once";

    // STATSINTERVAL=1: a line within the second, with the instance's own figures.
    ASSERT_TRUE(WaitUntil([&] { return !StatisticsLines("first.log").empty(); }, 3s));
    const std::string firstBody =
        u8"受信 5 件、書き込み 5 件、破棄 0 件 (受信バッファ溢れ 0、キュー満杯 0、ロック待ち超過 0、書き込み失敗 0)、"
        u8"サイズ超過 0 件、キーワード一致 0 件、メール送信 0 件、メール送信失敗 0 件、メール破棄 0 件、メール抑止 0 件";
    EXPECT_EQ(StatisticsLines("first.log").front(), Sjis(u8"統計: " + firstBody));

    TInstanceCounters::Add(first.Counters.MailsSent);
    bool stopped = false;
    server.DoServiceStop(stopped);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(final, std::vector<std::string>{
                         "received 12; written 11; dropped 1 (queue full 1); mails 1 sent, 0 failed"});
    const std::vector<std::string> firstLines = StatisticsLines("first.log");
    std::string atStop = firstBody;
    atStop.replace(atStop.find(u8"メール送信 0"), std::string(u8"メール送信 0").size(), u8"メール送信 1");
    EXPECT_EQ(firstLines.back(), Sjis(u8"停止時の統計: " + atStop));
    // STATSINTERVAL=0 leaves the file as it always was.
    EXPECT_TRUE(StatisticsLines("third.log").empty());
    const size_t liveLines = Live().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Live().size(), liveLines) << "nothing after the stop";
}

}  // namespace
}  // namespace quorvel
