// Listener sockets and reception over real loopback sockets, with the test
// thread standing in for the worker: it owns the message queue the instances
// register with and dispatches their notifications itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "TestFiles.h"
#include "SjisReference.h"
#include "platform/LoopbackUdp.h"
#include "platform/MessageQueue.h"
#include "platform/SystemLog.h"
#include "platform/UdpSocket.h"
#include "server/QuorvelService.h"

namespace quorvel {
namespace {

using test::Sjis;

uint16_t FreePort() { return test::LoopbackUdp().Port; }

// What the system grants a listener that asks for the server's buffer.
int GrantedBuffer() {
    platform::SocketHandle s;
    platform::CreateUdpSocket(platform::kFamilyIPv4, s);
    return platform::SetReceiveBuffer(s.Get(), kSocketReceiveBuffer);
}

void SendTo(const std::string& node, uint16_t port, const std::string& payload) {
    std::vector<platform::BindAddress> to;
    ASSERT_EQ(platform::ResolvePassive(node, std::to_string(port), to), 0);
    platform::SocketHandle s;
    ASSERT_EQ(platform::CreateUdpSocket(to.at(0).Family, s), 0);
    ASSERT_EQ(platform::SendDatagram(s.Get(), to[0], payload.data(), payload.size()),
              static_cast<long>(payload.size()));
}

// The lines of a log file without their date and time.
std::vector<std::string> Entries(const std::string& path) {
    std::vector<std::string> out;
    const std::string text = test::ReadFile(path);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(at + 24, end - at - 24));
        at = end + 2;
    }
    return out;
}

using Event = std::tuple<std::string, int, uint32_t>;  // text, type, ID

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue_ = platform::CreateMessageQueue();
        ASSERT_TRUE(queue_);
        queue_->AttachToCurrentThread();
        server_ = std::make_unique<TSysLogServer>([this](const std::string& text, int type, int, uint32_t id) {
            events_.emplace_back(text, type, id);
        });
    }
    void TearDown() override {
        server_->StopServices();
        queue_->DetachFromCurrentThread();
    }

    TSyslogService& AddInstance(int slot, uint16_t port, const std::string& name) {
        auto service = std::make_unique<TSyslogService>();
        service->SysLogPort = port;
        service->LogsFolder = folder_.path();
        service->SystemLogName = name + ".log";
        service->RecvLogName = name + "-recv.log";
        server_->Services[static_cast<size_t>(slot)] = std::move(service);
        return *server_->Services[static_cast<size_t>(slot)];
    }

    // Delivers the next notification as the worker's message loop does.
    void DispatchOne() {
        platform::QueueMessage message;
        ASSERT_EQ(queue_->Next(message), 1);
        queue_->Dispatch(message);
    }

    std::string Path(const std::string& name) const { return folder_.path() + name; }

    test::TempFolder folder_;
    std::unique_ptr<platform::MessageQueue> queue_;
    std::unique_ptr<TSysLogServer> server_;
    std::vector<Event> events_;
};

// Windows without getaddrinfo in ws2_32.dll: each lookup failure has its own
// event, the start goes on and binds one IPv4 socket on every local address,
// whatever the bind address says.
TEST_F(ListenerTest, WithoutAddressResolutionTheInstanceListensOnIPv4Only) {
    const struct {
        platform::ResolverStatus loaderResult;
        const char* eventText;
        uint32_t eventId;
    } cases[] = {
        {platform::ResolverStatus::NoLibrary, u8"ws2_32.dll がロードできません。", 10},
        {platform::ResolverStatus::NoFreeAddrInfo, u8"FreeAddrInfo() が見つかりません。", 11},
        {platform::ResolverStatus::NoGetAddrInfo, u8"GetAddrInfo() が見つかりません。", 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eventId);
        events_.clear();
        const uint16_t port = FreePort();
        const std::string name = "v4only" + std::to_string(c.eventId);
        AddInstance(0, port, name).ServerIPAddress = "::1";
        server_->AddrInfoLoader = [&c] { return c.loaderResult; };

        ASSERT_TRUE(server_->StartServices());
        EXPECT_EQ(events_, (std::vector<Event>{{Sjis(c.eventText), platform::kEventError, c.eventId}}));
        SendTo("127.0.0.1", port, "<13>over IPv4 only");
        DispatchOne();
        ASSERT_TRUE(server_->StopServices());

        EXPECT_EQ(Entries(Path(name + "-recv.log")), std::vector<std::string>{"127.0.0.1 <13>over IPv4 only"});
        EXPECT_EQ(Entries(Path(name + ".log")),
                  (std::vector<std::string>{" " + Sjis(u8"Bind 処理開始 (IPv4 Only)"),
                                            " Bind port is " + std::to_string(port),
                                            " " + Sjis(u8"受信バッファサイズ ") + std::to_string(GrantedBuffer()) +
                                                Sjis(u8" バイト"),
                                            " " + Sjis(u8"Quorvel サービスを開始しました。"),
                                            " " + Sjis(u8"Quorvel サービスを停止しました")}));
    }
}

// A stop that fails partway is asked again by the host: the instance already
// freed must not be stopped (or even touched) a second time.
TEST_F(ListenerTest, AStopThatFailedPartwayIsFinishedWithoutTouchingFreedInstances) {
    AddInstance(0, FreePort(), "first");
    TSyslogService& third = AddInstance(2, FreePort(), "third");
    int failures = 0;
    third.Clock = [&failures] {
        if (failures-- > 0) throw std::runtime_error("clock failed");
        return platform::LocalNow();
    };
    ASSERT_TRUE(server_->StartServices());
    events_.clear();

    failures = 1;
    bool stopped = true;
    server_->DoServiceStop(stopped);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(server_->Services[0], nullptr);
    EXPECT_NE(server_->Services[2], nullptr);

    server_->DoServiceStop(stopped);
    EXPECT_TRUE(stopped);
    for (const auto& slot : server_->Services) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(events_, (std::vector<Event>{
                           {Sjis(u8"Quorvel  Server の停止中にエラーが発生しました"), platform::kEventError, 4},
                           {Sjis(u8"Quorvel Server が停止しました"), platform::kEventSuccess, 2},
                       }));
    const std::string stopLine = " " + Sjis(u8"Quorvel サービスを停止しました");
    for (const char* name : {"first.log", "third.log"}) {
        auto lines = Entries(Path(name));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), stopLine), 1) << name;
    }
}

TEST_F(ListenerTest, OnlyAReadEventReadsAndAFailedProcessingIsLoggedWithItsCode) {
    const uint16_t port = FreePort();
    TSyslogService& service = AddInstance(0, port, "recv");
    ASSERT_TRUE(server_->StartServices());
    SendTo("127.0.0.1", port, "first");

    const int64_t closeEvent = 32;
    service.HandleSocketMessage(WM_SYSLOG_IPV4, service.Socket4, closeEvent);
    const unsigned otherMessage = 1025;
    service.HandleSocketMessage(otherMessage, service.Socket4, platform::kSocketRead);
    EXPECT_EQ(test::ReadFile(Path("recv-recv.log")), "") << "nothing is read without a read event";

    int failures = 1;
    service.Clock = [&failures] {
        if (failures-- > 0) throw std::system_error(28, std::generic_category());
        return platform::LocalNow();
    };
    DispatchOne();
    ASSERT_TRUE(service.Flush());
    const std::vector<std::string> log = Entries(Path("recv.log"));
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{"127.0.0.1 " + Sjis(u8"受信処理中に原因不明のエラーが発生 (28)"),
                                        " " + Sjis(u8"ログファイルへの書き込みに失敗したメッセージ 1 件")}));
    SendTo("127.0.0.1", port, "second");
    DispatchOne();
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(Entries(Path("recv-recv.log")), std::vector<std::string>{"127.0.0.1 second"});
}

// Datagrams read together still go by their own clock readings: a batch that
// spans the end of a month is split between the two months' files.
TEST_F(ListenerTest, ABatchAcrossTheMonthEndGoesToBothMonthsFiles) {
    const uint16_t port = FreePort();
    TSyslogService& service = AddInstance(0, port, "dated");
    service.RecvLogName = "%y-%m.log";
    ASSERT_TRUE(server_->StartServices());
    int reads = 0;
    service.Clock = [&reads] {
        return ++reads <= 2 ? platform::LocalTime{2026, 1, 31, 23, 59, 59, 999} : platform::LocalTime{2026, 2, 1};
    };
    for (const char* message : {"one", "two", "three"}) SendTo("127.0.0.1", port, message);
    while (reads < 3) DispatchOne();
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(test::ReadFile(Path("2026-01.log")),
              "2026/01/31 23:59:59.999 127.0.0.1 one\r\n2026/01/31 23:59:59.999 127.0.0.1 two\r\n");
    EXPECT_EQ(test::ReadFile(Path("2026-02.log")), "2026/02/01 00:00:00.000 127.0.0.1 three\r\n");
    server_->StopServices();
}

}  // namespace
}  // namespace quorvel
