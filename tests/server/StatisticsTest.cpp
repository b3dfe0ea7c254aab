// The counters as people read them: the status line of the service manager
// and the console, the statistics lines of the operation log, and the timer
// that writes them while the server serves.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "SjisReference.h"
#include "server/Statistics.h"
#include "server/StatsTimer.h"

namespace quorvel {
namespace {

using test::Sjis;
using namespace std::chrono_literals;

TCounterSnapshot Distinct() {
    TCounterSnapshot c;
    c.Received = 1204311, c.Oversized = 2, c.Written = 1204300, c.DroppedKernel = 3, c.DroppedQueue = 4;
    c.DroppedLocked = 5, c.DroppedWriteFailed = 6, c.KeywordMatches = 7, c.MailsSent = 8, c.MailsFailed = 9;
    c.MailsDroppedQueue = 10, c.MailsHeld = 11, c.LockSkipped = 12;
    return c;
}

// The end-to-end scenarios read the usual lines byte for byte; here every
// counter differs, so that one shown in another's place shows, and a sum
// adds each.
TEST(StatisticsTest, EveryCounterInItsPlaceAndSumsAddEach) {
    TCounterSnapshot streams = Distinct();
    streams.ReceivedTcp = 12, streams.ReceivedTls = 13, streams.SendersRefused = 14, streams.FramesCut = 15;
    streams.FramesTruncated = 16, streams.ConnectionsOpen = 17, streams.ConnectionsAccepted = 18;
    streams.ConnectionsRefused = 19, streams.ConnectionsFailed = 20;
    TCounterSnapshot sum = Distinct();
    sum += streams;
    EXPECT_EQ(FormatStatusLine(sum),
              "received 2,408,622; written 2,408,600; dropped 36 (kernel 6, queue full 8, file locked 10, write failed 12); "
              "lock skipped 24; oversized 4; mails 16 sent, 18 failed, 20 not queued, 22 held; tcp 12, tls 13; cut 15; "
              "truncated 16; connections 17 open, 18 accepted, 19 refused, 20 failed; senders refused 14");
    EXPECT_EQ(sum.KeywordMatches, 14u);
    EXPECT_EQ(GroupThousands(18446744073709551615ull), "18,446,744,073,709,551,615");
    const std::string body =
        u8"受信 1204311 件、書き込み 1204300 件、破棄 18 件 (受信バッファ溢れ 3、キュー満杯 4、ロック待ち超過 5、"
        u8"書き込み失敗 6)、サイズ超過 2 件、キーワード一致 7 件、メール送信 8 件、メール送信失敗 9 件、"
        u8"メール破棄 10 件、メール抑止 11 件";
    EXPECT_EQ(FormatStatisticsLine(Distinct(), false), Sjis(u8"統計: " + body));
    EXPECT_EQ(FormatStatisticsLine(Distinct(), true), Sjis(u8"停止時の統計: " + body));
    // An instance with streams or an allow-list goes on, with the same counts
    // in the same place whether they are zero or not.
    EXPECT_EQ(FormatStatisticsLine(streams, false, true),
              Sjis(u8"統計: " + body +
                   u8"、TCP 受信 12 件、TLS 受信 13 件、拒否した送信元 14 件、切り詰め 15 件、切断で途切れ 16 件、"
                   u8"接続中 17 本、受け付けた接続 18 本、拒否した接続 19 本、失敗した接続 20 本"));
}

// Bounds from the elapsed time only: a loaded machine may run a job late but
// never early, and never twice for one tick.
TEST(StatisticsTest, TimerRunsEachJobAtItsPeriodAndNothingAfterStop) {
    std::atomic<int> fast{0}, slow{0}, failing{0};  // outlive the timer's thread
    TStatsTimer timer;
    EXPECT_FALSE(timer.Start()) << "nothing to run";
    timer.Add(20ms, [&] { ++fast; });
    timer.Add(200ms, [&] { ++slow; });
    timer.Add(20ms, [&] { ++failing, throw std::runtime_error("a job that fails"); });
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(timer.Start());
    std::this_thread::sleep_for(500ms);
    timer.Stop();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const int fastRuns = fast, slowRuns = slow;
    EXPECT_GE(fastRuns, 2);
    EXPECT_LE(fastRuns, static_cast<int>(elapsed / 20ms));
    EXPECT_LE(slowRuns, static_cast<int>(elapsed / 200ms));
    EXPECT_GE(failing.load(), 2) << "a failing job keeps its turns";
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(fast.load(), fastRuns);
    EXPECT_FALSE(timer.Running());

    // Stopped, it can be filled and started afresh; a stop during a long
    // period does not wait for the period to end.
    timer.Add(1h, [&] { ++slow; });
    ASSERT_TRUE(timer.Start());
    const auto stopAt = std::chrono::steady_clock::now();
    timer.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 30min);
}

}  // namespace
}  // namespace quorvel
