// The service host over the real POSIX backend: signals, systemd
// notifications and console events.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "SjisReference.h"
#include "platform/posix/UnixDatagramSink.h"
#include "service/DService.h"

namespace quorvel {
namespace {

using test::ScopedEnv;
using test::UnixDatagramSink;

TEST(ServiceHostTest, ConsoleSignalsReachHandleStopOnTheWorker) {
    UnixDatagramSink journal;
    ScopedEnv env("QUORVEL_JOURNAL_SOCKET", journal.Path());
    for (int sig : {SIGINT, SIGTERM}) {
        TDService service;
        service.ServiceName = "QuorvelService";
        std::thread::id startThread, stopThread;
        service.OnStart = [&](bool&) {
            startThread = std::this_thread::get_id();
            kill(getpid(), sig);
        };
        service.OnStop = [&](bool&) { stopThread = std::this_thread::get_id(); };
        EXPECT_EQ(service.RunCommandLine({"-RUN"}), 0) << "signal " << sig;
        EXPECT_EQ(stopThread, startThread) << "signal " << sig;
        EXPECT_NE(stopThread, std::this_thread::get_id()) << "signal " << sig;
    }
}

TEST(ServiceHostTest, ServiceModeNotifiesSystemdAndStopsOnSigterm) {
    UnixDatagramSink notify, journal;
    ScopedEnv n("NOTIFY_SOCKET", notify.Path());
    ScopedEnv j("QUORVEL_JOURNAL_SOCKET", journal.Path());
    TDService service;
    service.ServiceName = "QuorvelService";
    service.OnStart = [&](bool&) {
        service.LogEvent(test::Sjis(u8"Quorvel Server が開始しました"), platform::kEventSuccess, 0, 1);
        kill(getpid(), SIGTERM);
    };
    EXPECT_EQ(service.RunCommandLine({}), 0);
    std::vector<std::string> states;
    for (const std::string& d : notify.Drain()) states.push_back(d.substr(0, d.find('\n')));
    EXPECT_EQ(states, (std::vector<std::string>{"STATUS=Starting (check point 1)", "STATUS=Starting (check point 2)",
                                                "READY=1", "STOPPING=1", "STATUS=Stopped"}));
    auto entries = journal.Drain();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find(u8"MESSAGE=Quorvel Server が開始しました\n"), std::string::npos);
}

TEST(ServiceHostTest, ApplicationModeWritesEventsToStandardError) {
    UnixDatagramSink journal;
    ScopedEnv env("QUORVEL_JOURNAL_SOCKET", journal.Path());
    TDService service;
    service.ServiceName = "QuorvelService";
    service.OnStart = [&](bool& started) {
        service.LogEvent(test::Sjis(u8"設定ファイルに不備がありサービスを開始できませんでした。"), platform::kEventError,
                         0, 3);
        started = false;
    };
    testing::internal::CaptureStderr();
    EXPECT_EQ(service.RunCommandLine({"-RUN"}), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              u8"error 3 設定ファイルに不備がありサービスを開始できませんでした。\n");
}

}  // namespace
}  // namespace quorvel
