#include "platform/ServiceControl.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/ServiceEnvironment.h"
#include "platform/posix/UnixDatagramSink.h"

namespace quorvel::platform {
namespace {

using test::ScopedEnv;
using test::UnixDatagramSink;

TEST(ServiceControlTest, StateReportsBecomeNotifyDatagrams) {
    UnixDatagramSink sink;
    ASSERT_TRUE(sink.Bound());
    ScopedEnv env("NOTIFY_SOCKET", sink.Path());
    int error = -1;
    auto reporter = DefaultServiceEnvironment().Control->OpenStatusReporter("QuorvelService", error);
    ASSERT_TRUE(reporter);
    EXPECT_EQ(error, 0);
    struct Case {
        int state;
        int checkPoint;
        std::string expected;
    } cases[] = {
        {kServiceStartPending, 1, "STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=5000000\n"},
        {kServiceRunning, 0, "READY=1\nSTATUS=Running\n"},
        {kServiceStopPending, 0, "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=5000000\n"},
        {kServiceStopped, 0, "STATUS=Stopped\n"},
    };
    for (const Case& c : cases) {
        ServiceStatus s;
        s.CurrentState = c.state;
        s.CheckPoint = c.checkPoint;
        s.WaitHint = 5000;
        reporter->Report(s);
        std::string got;
        ASSERT_TRUE(sink.Receive(got, 1000));
        EXPECT_EQ(got, c.expected);
    }
}

TEST(ServiceControlTest, WithoutServiceManagerTheDispatcherFailsWithItsDocumentedCode) {
    unsetenv("NOTIFY_SOCKET");
    bool ran = false;
    testing::internal::CaptureStderr();
    int rc = DefaultServiceEnvironment().Control->RunDispatcher("QuorvelService", [&] { ran = true; }, [](int) {});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, kErrorNotStartedByServiceManager);
    EXPECT_FALSE(ran);
    EXPECT_NE(err.find("-RUN"), std::string::npos);
    EXPECT_NE(err.find("-INSTALL"), std::string::npos);
    int error = 0;
    EXPECT_FALSE(DefaultServiceEnvironment().Control->OpenStatusReporter("QuorvelService", error));
    EXPECT_EQ(error, kErrorNotStartedByServiceManager);
}

TEST(ServiceControlTest, ConsoleSignalsBecomeStopRequestsOnAnotherThread) {
    for (int sig : {SIGINT, SIGTERM}) {
        std::vector<int> codes;
        DefaultServiceEnvironment().Control->RunApplication(
            [&] {
                kill(getpid(), sig);
                // The relay delivers asynchronously; wait for it.
                for (int i = 0; i < 200 && codes.empty(); ++i) usleep(5000);
            },
            [&](int code) { codes.push_back(code); });
        EXPECT_EQ(codes, std::vector<int>{kControlStop}) << "signal " << sig;
    }
}

}  // namespace
}  // namespace quorvel::platform
