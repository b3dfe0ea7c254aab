#include "service/DService.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "SjisReference.h"
#include "platform/LoopbackUdp.h"
#include "service/FakePlatform.h"

namespace quorvel {
namespace {

using test::FakePlatform;
using test::Sjis;
using Words = std::vector<std::string>;

// "state/check point/controls accepted" per report, e.g. "2/1/0 4/0/5".
std::string Reports(FakePlatform& fake) {
    std::string out;
    for (const auto& s : fake.reports) {
        EXPECT_EQ(s.WaitHint, 5000);
        out += (out.empty() ? "" : " ") + std::to_string(s.CurrentState) + "/" + std::to_string(s.CheckPoint) + "/" +
               std::to_string(s.ControlsAccepted);
    }
    return out;
}

TEST(DServiceTest, ReportedStatesFollowTheLifeOfTheService) {
    const struct {
        std::vector<int> controls;
        bool refuseStart;
        int refusedStops;
        std::string reports;
    } cases[] = {
        // Pause, continue, interrogate and a custom code send nothing.
        {{2, 3, 4, 200, 1}, false, 0, "2/1/0 2/2/0 4/0/5 3/0/5 1/0/5"},
        {{1, 1}, false, 1, "2/1/0 2/2/0 4/0/5 3/0/5 4/0/5 3/0/5 1/0/5"},
        {{1}, true, 0, "2/1/0 2/2/0 1/0/5"},
        {{5}, false, 0, "2/1/0 2/2/0 4/0/5 3/0/5 1/0/5"},
    };
    for (const auto& c : cases) {
        FakePlatform fake;
        TDService service(fake.Environment());
        service.ServiceControlHandler(1);  // no worker yet: dropped
        // Sent while the start hook runs; the worker acts on them once it runs.
        service.OnStart = [&](bool&) {
            for (int code : c.controls) fake.handler(code);
        };
        if (c.refuseStart) service.OnStart = [](bool& started) { started = false; };
        int stops = 0;
        service.OnStop = [&](bool& stopped) { stopped = ++stops > c.refusedStops; };
        EXPECT_EQ(service.RunCommandLine({}), 0) << c.reports;
        EXPECT_EQ(Reports(fake), c.reports);
        EXPECT_EQ(stops, c.refuseStart || c.controls[0] == 5 ? 0 : c.refusedStops + 1) << c.reports;
        service.ServiceControlHandler(1);  // worker gone: dropped
    }
}

TEST(DServiceTest, FailuresBecomeEventsAndTheServiceStillEnds) {
    test::LoopbackUdp readable;
    ASSERT_EQ(readable.SendToSelf("x"), 1);
    const struct {
        std::string failing;
        std::string text;
        int id;  // -1: the system error the failure left behind
    } cases[] = {
        {"start", Sjis(u8"サービス失敗 開始: unknown exception"), 0},
        {"run", Sjis(u8"サービス失敗 実行: bad read"), 0},
        {"stop", Sjis(u8"サービスの停止時に例外が発生しました"), -1},
        {"shutdown", Sjis(u8"サービス失敗 シャットダウン: disk gone"), 0},
        {"signal", Sjis(u8"サービスに対するカスタムメッセージ (129) は失敗しました：hang-up"), 0},
        {"reporter", Sjis(u8"サービスの登録に失敗しました"), 6},
        {"queue", Sjis(u8"サービスの作成時に例外が発生しました"), -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        FakePlatform fake;
        fake.refuseReporter = c.failing == "reporter";
        fake.refuseQueue = c.failing == "queue";
        TDService service(fake.Environment());
        service.ServiceName = "QuorvelService";
        service.OnStart = [&](bool&) {
            if (c.failing == "start") throw 42;
            if (c.failing == "signal") fake.handler(platform::kControlIgnoredSignal + 1);
            if (c.failing != "run")
                fake.handler(c.failing == "shutdown" ? platform::kControlShutdown
                                                     : platform::kControlStop);
            platform::MessageQueue::Current()->RegisterSocket(readable.Fd(), 1228, [&](unsigned, int64_t, int64_t) {
                if (c.failing == "run") throw std::runtime_error("bad read");
            });
        };
        service.OnStop = [&](bool&) {
            if (c.failing != "stop") return;
            fake.LeaveSystemError();
            throw std::runtime_error("no system error of its own");
        };
        service.OnShutdown = [] { throw std::runtime_error("disk gone"); };
        service.OnIgnoredSignal = [](int) { throw std::runtime_error("hang-up"); };
        EXPECT_EQ(service.RunCommandLine({}), 0);
        const int id = c.id >= 0 ? c.id : fake.lastError;
        EXPECT_EQ(fake.events, Words{"QuorvelService 1/0/" + std::to_string(id) + " " + c.text});
        if (!fake.reports.empty()) { EXPECT_EQ(fake.reports.back().CurrentState, platform::kServiceStopped); }
    }
}

// What the server is doing shows beside "running" in the service manager,
// never over the states of a start or a stop. Entries from two threads at
// once share one event source; a stop closes it and the next entry opens it
// again.
TEST(DServiceTest, ActivityShowsOnlyWhileTheServiceRunsAndAStopClosesTheEventSource) {
    for (bool appMode : {false, true}) {
        FakePlatform fake;
        TDService service(fake.Environment());
        std::thread a([&] { service.LogEvent("a", platform::kEventSuccess, 0, 1); });
        service.LogEvent("b", platform::kEventError, 0, 2);
        a.join();
        EXPECT_EQ(fake.opens, 1);
        std::thread live;
        service.OnStart = [&](bool&) {
            service.ReportActivity("starting", false);
            live = std::thread([&] {
                while (service.CurrentState() != ssRunning) std::this_thread::yield();
                service.ReportActivity("received 1", false);
                fake.handler(1);
            });
        };
        service.OnStop = [&](bool&) { service.ReportActivity("stopping", false); };
        EXPECT_EQ(service.RunCommandLine(appMode ? Words{"-RUN"} : Words{}), 0);
        live.join();
        EXPECT_EQ(fake.statusTexts, appMode ? Words{} : Words{"received 1"});
        service.LogEvent("c", platform::kEventError, 0, 3);
        EXPECT_EQ(fake.opens, 2);
        EXPECT_EQ(fake.events.size(), 3u);
    }
}

// At most 254 bytes, never half a double-byte character (あ: two bytes).
TEST(DServiceTest, DescriptionIsCutAtACharacterBoundary) {
    const std::string a = Sjis(u8"あ"), x(252, 'x');
    for (const auto& [in, kept] : std::vector<std::pair<std::string, size_t>>{
             {x + "xxx", 254}, {x + a + "y", 254}, {x + "x" + a, 253}, {x + "x\x81", 254}})
        EXPECT_EQ(TDService::EntryDescription(in), in.substr(0, kept));
}

}  // namespace
}  // namespace quorvel
