#include <gtest/gtest.h>

#include <string>

#include "ServerTestSupport.h"
#include "server/SyslogServer.h"

namespace quorvel {
namespace {

// The received-message line is built in buffers that the instance keeps from
// one datagram to the next; no line may carry bytes of the one before it.
TEST(ReceivedLineTest, LinesOfChangingLengthAndLayoutStayApart) {
    test::TempFolder dir;
    TSyslogService service;
    service.LogsFolder = dir.path();
    service.RecvLogName = "recv.log";
    service.Clock = [] { return platform::LocalTime{2026, 12, 6, 2, 6, 2, 45}; };
    const std::string stamp = "2026/12/06 02:06:02.045";
    const std::string csvStamp = "\"2026/12/06\",\"02:06:02.045\"";

    // The quotes of the message are doubled before the control bytes are
    // replaced, so the quote inside the replacement stays single.
    service.CnvCtrlCode = "\"";
    const std::string longest(kReceiveBufferSize, 'x');
    std::string expected;
    service.WriteReceivedLog(longest, "192.0.2.1");
    expected += stamp + " 192.0.2.1 " + longest + "\r\n";
    service.LogType = ltComma;
    service.WriteReceivedLog(std::string("a\"b\x01" "c\0d", 7), "2001:db8::1");
    expected += csvStamp + ",\"2001:db8::1\",\"a\"\"b\"cd\"\r\n";
    service.LogType = ltTab;
    service.WriteReceivedLog("\"q\"", "10.0.0.1");
    expected += "2026/12/06\t02:06:02.045\t10.0.0.1\t\"q\"\r\n";
    service.LogType = ltMeta;
    service.CnvCtrlCode.clear();
    service.WriteReceivedLog("\n", "10.0.0.2");
    expected += stamp + " 10.0.0.2 \r\n";

    EXPECT_EQ(test::ReadFile(dir.path() + "recv.log"), expected);
}

}  // namespace
}  // namespace quorvel
