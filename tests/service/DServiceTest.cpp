#include "service/DService.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>
#include <thread>

#include "SjisReference.h"
#include "service/FakePlatform.h"

namespace quorvel {
namespace {

using test::FakePlatform;
using test::Sjis;

struct Report {
    int State;
    int CheckPoint;
    int Accepted;
};

std::vector<Report> Reports(FakePlatform& fake) {
    std::vector<Report> out;
    for (const auto& s : fake.control.Reports()) out.push_back({s.CurrentState, s.CheckPoint, s.ControlsAccepted});
    return out;
}

void ExpectReports(FakePlatform& fake, const std::vector<Report>& expected) {
    std::vector<Report> got = Reports(fake);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].State, expected[i].State) << "report " << i;
        EXPECT_EQ(got[i].CheckPoint, expected[i].CheckPoint) << "report " << i;
        EXPECT_EQ(got[i].Accepted, expected[i].Accepted) << "report " << i;
    }
}

constexpr int kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4;

// The service manager sends these controls once the service is running.
void SendControlsOnStart(TDService& service, FakePlatform& fake, std::vector<int> codes) {
    service.OnStart = [&fake, codes](bool&) {
        for (int code : codes) fake.control.handler(code);
    };
}

TEST(DServiceTest, CommandLineWordDecidesTheMode) {
    enum Mode { Install, Uninstall, Run, Service };
    struct Case {
        std::vector<std::string> args;
        Mode mode;
    } cases[] = {
        {{"-INSTALL"}, Install},
        {{"/install"}, Install},
        {{"-Install", "-UNINSTALL"}, Install},
        {{"-RUN", "/INSTALL", "-SILENT"}, Install},
        {{"/UnInstall", "-run"}, Uninstall},
        {{"-rUn"}, Run},
        {{"INSTALL"}, Service},
        {{"--INSTALL"}, Service},
        {{"-INSTALLX"}, Service},
        {{"-"}, Service},
        {{"/SILENT"}, Service},
        {{}, Service},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        fake.control.underManager = false;
        TDService service(fake.Environment());
        service.ServiceName = "QuorvelService";
        service.OnStart = [](bool& started) { started = false; };
        service.RunCommandLine(c.args);
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(fake.manager.entries.size(), c.mode == Install ? 1u : 0u) << label;
        EXPECT_EQ(fake.manager.removals.size(), c.mode == Uninstall ? 1u : 0u) << label;
        EXPECT_EQ(fake.control.applicationRuns, c.mode == Run ? 1 : 0) << label;
        EXPECT_EQ(fake.control.dispatcherRuns, c.mode == Service ? 1 : 0) << label;
    }
}

TEST(DServiceTest, ServiceReportsStartRunningStopWithCheckPoints) {
    FakePlatform fake;
    TDService service(fake.Environment());
    // Pause, continue, interrogate and a custom code change nothing and report nothing.
    SendControlsOnStart(service, fake, {2, 3, 4, 200, 1});
    EXPECT_EQ(service.RunCommandLine({}), 0);
    ExpectReports(fake, {{kStartPending, 1, 0},
                         {kStartPending, 2, 0},
                         {kRunning, 0, 5},
                         {kStopPending, 0, 5},
                         {kStopped, 0, 5}});
    for (const auto& s : fake.control.Reports()) {
        EXPECT_EQ(s.ServiceType, 16);
        EXPECT_EQ(s.WaitHint, 5000);
    }
}

TEST(DServiceTest, StopRefusedByHookReportsRunningAgainAndKeepsServing) {
    FakePlatform fake;
    TDService service(fake.Environment());
    int stopCalls = 0;
    service.OnStop = [&](bool& stopped) { stopped = ++stopCalls > 1; };
    SendControlsOnStart(service, fake, {1, 1});
    service.RunCommandLine({});
    EXPECT_EQ(stopCalls, 2);
    ExpectReports(fake, {{kStartPending, 1, 0},
                         {kStartPending, 2, 0},
                         {kRunning, 0, 5},
                         {kStopPending, 0, 5},
                         {kRunning, 0, 5},
                         {kStopPending, 0, 5},
                         {kStopped, 0, 5}});
}

TEST(DServiceTest, StartRefusedByHookStopsWithoutCallingStop) {
    FakePlatform fake;
    TDService service(fake.Environment());
    bool stopCalled = false;
    service.OnStart = [](bool& started) { started = false; };
    service.OnStop = [&](bool&) { stopCalled = true; };
    EXPECT_EQ(service.RunCommandLine({}), 0);
    EXPECT_FALSE(stopCalled);
    ExpectReports(fake, {{kStartPending, 1, 0}, {kStartPending, 2, 0}, {kStopped, 0, 5}});
}

TEST(DServiceTest, ShutdownStopsWithoutFreeingTheLogger) {
    FakePlatform fake;
    TDService service(fake.Environment());
    bool shutdownCalled = false;
    service.OnShutdown = [&] { shutdownCalled = true; };
    SendControlsOnStart(service, fake, {5});
    service.RunCommandLine({});
    EXPECT_TRUE(shutdownCalled);
    EXPECT_FALSE(service.QuitAllowed());
    ExpectReports(fake, {{kStartPending, 1, 0},
                         {kStartPending, 2, 0},
                         {kRunning, 0, 5},
                         {kStopPending, 0, 5},
                         {kStopped, 0, 5}});
}

TEST(DServiceTest, ErrorsRaisedByHooksBecomeEvents) {
    struct Case {
        const char* name;
        std::function<void(TDService&, FakePlatform&)> arrange;
        std::string text;
        uint32_t id;
    } cases[] = {
        {"start", [](TDService& s, FakePlatform&) { s.OnStart = [](bool&) { throw std::runtime_error("no config"); }; },
         Sjis(u8"サービス失敗 開始: no config"), 0},
        {"run",
         [](TDService& s, FakePlatform&) {
             s.OnStart = [](bool&) {
                 auto& q = static_cast<test::FakeQueue&>(*platform::MessageQueue::Current());
                 q.RegisterSocket(7, 1228, [](unsigned, int64_t, int64_t) { throw std::runtime_error("bad read"); });
                 q.PostSocket(7);
             };
         },
         Sjis(u8"サービス失敗 実行: bad read"), 0},
        {"stop",
         [](TDService& s, FakePlatform& f) {
             SendControlsOnStart(s, f, {1});
             s.OnStop = [](bool&) { throw std::system_error(5, std::system_category()); };
         },
         Sjis(u8"サービスの停止時に例外が発生しました"), 5},
        {"shutdown",
         [](TDService& s, FakePlatform& f) {
             SendControlsOnStart(s, f, {5});
             s.OnShutdown = [] { throw std::runtime_error("disk gone"); };
         },
         Sjis(u8"サービス失敗 シャットダウン: disk gone"), 0},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        TDService service(fake.Environment());
        service.ServiceName = "QuorvelService";
        c.arrange(service, fake);
        // Every case ends by itself: the worker ends after the error.
        EXPECT_EQ(service.RunCommandLine({}), 0) << c.name;
        auto events = fake.log.Events();
        ASSERT_EQ(events.size(), 1u) << c.name;
        EXPECT_EQ(events[0].Text, c.text) << c.name;
        EXPECT_EQ(events[0].Type, platform::kEventError) << c.name;
        EXPECT_EQ(events[0].Category, 0) << c.name;
        EXPECT_EQ(events[0].Id, c.id) << c.name;
        EXPECT_EQ(events[0].Source, "QuorvelService") << c.name;
        EXPECT_EQ(fake.control.Reports().back().CurrentState, kStopped) << c.name;
    }
}

TEST(DServiceTest, MachineryFailuresBecomeEventsWithTheirErrorCode) {
    {
        FakePlatform fake;
        fake.control.underManager = false;
        TDService service(fake.Environment());
        EXPECT_EQ(service.RunCommandLine({}), 0);
        auto events = fake.log.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Text, Sjis(u8"サービスの開始に失敗しました"));
        EXPECT_EQ(events[0].Id, 1063u);
        EXPECT_FALSE(events[0].Echo);
    }
    {
        FakePlatform fake;
        fake.control.refuseReporter = true;
        TDService service(fake.Environment());
        bool started = false;
        service.OnStart = [&](bool&) { started = true; };
        service.RunCommandLine({});
        EXPECT_FALSE(started);
        auto events = fake.log.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Text, Sjis(u8"サービスの登録に失敗しました"));
        EXPECT_EQ(events[0].Id, 6u);
    }
    {
        FakePlatform fake;
        fake.refuseQueue = true;
        TDService service(fake.Environment());
        service.RunCommandLine({});
        auto events = fake.log.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Text, Sjis(u8"サービスの作成時に例外が発生しました"));
        ExpectReports(fake, {{kStartPending, 1, 0}, {kStopped, 0, 5}});
    }
}

TEST(DServiceTest, ApplicationModeStopsOnRequestWithoutReports) {
    FakePlatform fake;
    TDService service(fake.Environment());
    std::thread::id startThread, stopThread;
    service.OnStart = [&](bool&) {
        startThread = std::this_thread::get_id();
        fake.control.handler(1);
    };
    service.OnStop = [&](bool&) { stopThread = std::this_thread::get_id(); };
    EXPECT_EQ(service.RunCommandLine({"-RUN"}), 0);
    EXPECT_TRUE(service.RunAsApplication());
    EXPECT_EQ(stopThread, startThread);
    EXPECT_NE(stopThread, std::this_thread::get_id());
    EXPECT_TRUE(fake.control.Reports().empty());
}

TEST(DServiceTest, ApplicationModeRefusedStartEndsWithFailureStatus) {
    FakePlatform fake;
    TDService service(fake.Environment());
    service.OnStart = [](bool& started) { started = false; };
    EXPECT_EQ(service.RunCommandLine({"/run"}), 1);
    service.OnStart = [](bool&) { throw std::runtime_error("x"); };
    EXPECT_EQ(service.RunCommandLine({"/run"}), 1);
    auto events = fake.log.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].Echo);
}

TEST(DServiceTest, ControlWithoutWorkerIsDropped) {
    FakePlatform fake;
    TDService service(fake.Environment());
    service.ServiceControlHandler(1);
    SendControlsOnStart(service, fake, {1});
    service.RunCommandLine({});
    service.ServiceControlHandler(1);
    EXPECT_EQ(fake.control.Reports().back().CurrentState, kStopped);
}

TEST(DServiceTest, FirstEventsFromTwoThreadsShareOneLogger) {
    FakePlatform fake;
    TDService service(fake.Environment());
    std::thread a([&] { service.LogEvent("a", platform::kEventSuccess, 0, 1); });
    std::thread b([&] { service.LogEvent("b", platform::kEventError, 0, 2); });
    a.join();
    b.join();
    EXPECT_EQ(fake.log.Opens(), 1);
    EXPECT_EQ(fake.log.Events().size(), 2u);
}

TEST(DServiceTest, StopRequestClosesTheEventSourceAndTheNextEventReopensIt) {
    FakePlatform fake;
    TDService service(fake.Environment());
    service.OnStart = [&](bool&) {
        service.LogEvent("started", platform::kEventSuccess, 0, 1);
        fake.control.handler(1);
    };
    service.OnStop = [&](bool&) { service.LogEvent("stopped", platform::kEventSuccess, 0, 2); };
    service.RunCommandLine({});
    EXPECT_EQ(fake.log.Opens(), 1);
    service.LogEvent("", platform::kEventError, 0, 3);
    EXPECT_EQ(fake.log.Opens(), 2);
    auto events = fake.log.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].Text, "");
}

TEST(DServiceTest, InstallAndRemoveFailuresAreShownAndFailTheProcess) {
    FakePlatform fake;
    TDService service(fake.Environment());
    service.ServiceName = "QuorvelService";
    service.DisplayName = "Quorvel  Service";
    EXPECT_EQ(service.RunCommandLine({"-INSTALL"}), 0);
    EXPECT_EQ(service.RunCommandLine({"-INSTALL"}), 1);
    EXPECT_EQ(service.RunCommandLine({"-UNINSTALL"}), 0);
    EXPECT_EQ(service.RunCommandLine({"-UNINSTALL"}), 1);
    ASSERT_EQ(fake.manager.shown.size(), 2u);
    EXPECT_EQ(fake.manager.shown[0], "Quorvel  Service|" + Sjis(u8"サービスの登録に失敗しました。(Error code 1073)"));
    EXPECT_EQ(fake.manager.shown[1], "Quorvel  Service|" + Sjis(u8"サービスの登録解除に失敗しました。(Error code 1060)"));
    EXPECT_FALSE(fake.manager.entries[0].ProgramPath.empty());
}

TEST(DServiceTest, DescriptionIsCutAtACharacterBoundary) {
    const std::string a = Sjis(u8"あ");  // two bytes
    struct Case {
        std::string in;
        size_t expectedBytes;
    } cases[] = {
        {std::string(254, 'x'), 254},
        {std::string(300, 'x'), 254},
        {std::string(252, 'x') + a + "y", 254},
        {std::string(253, 'x') + a, 253},
        {std::string(253, 'x') + "\x81", 254},  // stray lead byte at the end stays one byte
        {"", 0},
    };
    for (const Case& c : cases) {
        std::string out = TDService::EntryDescription(c.in);
        EXPECT_EQ(out.size(), c.expectedBytes);
        EXPECT_EQ(out, c.in.substr(0, c.expectedBytes));
    }
}

}  // namespace
}  // namespace quorvel
