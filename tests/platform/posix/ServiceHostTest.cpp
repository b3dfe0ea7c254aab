// The service host over the real POSIX backend: console signals and events.

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
