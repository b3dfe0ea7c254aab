// Reception over real loopback sockets, the test thread standing in for the
// worker: it owns the message queue and dispatches the notifications itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "SjisReference.h"
#include "TestFiles.h"
#include "platform/LoopbackUdp.h"
#include "platform/Clock.h"
#include "platform/MessageQueue.h"
#include "platform/SystemLog.h"
#include "platform/UdpSocket.h"
#include "server/QuorvelService.h"

namespace quorvel {
namespace {

using test::Sjis;
using Lines = std::vector<std::string>;
using Event = std::tuple<std::string, int, uint32_t>;  // text, type, ID

void SendTo(uint16_t port, const std::string& payload) {
    std::vector<platform::BindAddress> to;
    ASSERT_EQ(platform::ResolvePassive("127.0.0.1", std::to_string(port), to), 0);
    platform::SocketHandle s;
    ASSERT_EQ(platform::CreateUdpSocket(to.at(0).Family, s), 0);
    ASSERT_EQ(platform::SendDatagram(s.Get(), to[0], payload.data(), payload.size()), long(payload.size()));
}

class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override { queue_->AttachToCurrentThread(); }
    void TearDown() override {
        server_->DoServiceShutdown();
        queue_->DetachFromCurrentThread();
    }
    TSyslogService& AddInstance(int slot, const std::string& name, uint16_t port = test::LoopbackUdp().Port) {
        auto& service = server_->Services[static_cast<size_t>(slot)] = std::make_unique<TSyslogService>();
        service->Reception.SysLogPort = port;
        service->Files.LogsFolder = folder_.path();
        service->Files.SystemLogName = name + ".log";
        service->Files.RecvLogName = name + "-recv.log";
        return *service;
    }
    // Delivers the next notification as the worker's message loop does.
    void DispatchOne() {
        platform::QueueMessage message;
        ASSERT_EQ(queue_->Next(message), 1);
        queue_->Dispatch(message);
    }
    // The lines of a log file without their date and time.
    Lines Entries(const std::string& name) const {
        Lines out;
        const std::string text = test::ReadFile(folder_.path() + name);
        for (size_t at = 0, end = 0; at < text.size(); at = end + 2) {
            end = std::min(text.find("\r\n", at), text.size());
            out.push_back(text.substr(at + 24, end - at - 24));
        }
        return out;
    }

    test::TempFolder folder_;
    // Counts or counts down the readings of a test's clock. A member: the
    // clock is read again while the fixture stops the instances.
    int clockCalls_ = 0;
    std::unique_ptr<platform::MessageQueue> queue_ = platform::CreateMessageQueue();
    std::vector<Event> events_;
    std::unique_ptr<TSysLogServer> server_ = std::make_unique<TSysLogServer>(
        [this](const std::string& text, int type, int, uint32_t id) { events_.emplace_back(text, type, id); });
};

// Windows without getaddrinfo in ws2_32.dll: each lookup failure has its own
// event, the start goes on and binds one IPv4 socket on every local address,
// whatever the bind address says.
TEST_F(ListenerTest, WithoutAddressResolutionTheInstanceListensOnIPv4Only) {
    const int granted = platform::SetReceiveBuffer(test::LoopbackUdp().Fd(), kSocketReceiveBuffer);
    const struct { platform::ResolverStatus loaderResult; const char* eventText; uint32_t eventId; } cases[] = {
        {platform::ResolverStatus::NoLibrary, u8"ws2_32.dll がロードできません。", 10},
        {platform::ResolverStatus::NoFreeAddrInfo, u8"FreeAddrInfo() が見つかりません。", 11},
        {platform::ResolverStatus::NoGetAddrInfo, u8"GetAddrInfo() が見つかりません。", 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.eventId);
        events_.clear();
        const std::string name = "v4only" + std::to_string(c.eventId);
        TSyslogService& service = AddInstance(0, name);
        service.Reception.ServerIPAddress = "::1";
        const std::string port = std::to_string(service.Reception.SysLogPort);  // the instance goes at the stop
        server_->AddrInfoLoader = [result = c.loaderResult] { return result; };
        ASSERT_TRUE(server_->StartServices());
        EXPECT_EQ(events_, (std::vector<Event>{{Sjis(c.eventText), platform::kEventError, c.eventId}}));
        SendTo(service.Reception.SysLogPort, "<13>over IPv4 only");
        DispatchOne();
        ASSERT_TRUE(server_->StopServices());
        EXPECT_EQ(Entries(name + "-recv.log"), Lines{"127.0.0.1 <13>over IPv4 only"});
        EXPECT_EQ(Entries(name + ".log"),
                  (Lines{" " + Sjis(u8"Bind 処理開始 (IPv4 Only)"), " Bind port is " + port,
                         " " + Sjis(u8"受信バッファサイズ ") + std::to_string(granted) + Sjis(u8" バイト"),
                         " " + Sjis(u8"Quorvel サービスを開始しました。"), " " + Sjis(u8"Quorvel サービスを停止しました")}));
    }
    // A port another socket holds fails the start, and says where.
    const test::LoopbackUdp holder;
    TSyslogService& taken = AddInstance(0, "taken", holder.Port);
    taken.Reception.ServerIPAddress = "127.0.0.1";
    EXPECT_FALSE(server_->StartServices());
    EXPECT_EQ(taken.StartFailure.rfind("cannot bind to 127.0.0.1 port " + std::to_string(holder.Port) + " (IPv4): ", 0), 0u)
        << taken.StartFailure;
}

// A stop that fails partway is asked again by the host: the instance already
// freed must not be stopped (or even touched) a second time.
TEST_F(ListenerTest, AStopThatFailedPartwayIsFinishedWithoutTouchingFreedInstances) {
    AddInstance(0, "first");
    AddInstance(2, "third").Clock = [this] {
        if (clockCalls_-- > 0) throw std::runtime_error("clock failed");
        return platform::LocalNow();
    };
    ASSERT_TRUE(server_->StartServices());
    events_.clear();
    clockCalls_ = 1;
    bool stopped = true;
    server_->DoServiceStop(stopped);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(server_->Services[0], nullptr);
    EXPECT_NE(server_->Services[2], nullptr);
    server_->DoServiceStop(stopped);
    EXPECT_TRUE(stopped);
    for (const auto& slot : server_->Services) EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(events_, (std::vector<Event>{{Sjis(u8"Quorvel  Server の停止中にエラーが発生しました"), platform::kEventError, 4},
                                           {Sjis(u8"Quorvel Server が停止しました"), platform::kEventSuccess, 2}}));
    for (const char* name : {"first.log", "third.log"}) {
        const Lines lines = Entries(name);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), " " + Sjis(u8"Quorvel サービスを停止しました")), 1) << name;
    }
}

TEST_F(ListenerTest, OnlyAReadEventReadsAndAFailedProcessingIsLoggedWithItsCode) {
    TSyslogService& service = AddInstance(0, "recv");
    ASSERT_TRUE(server_->StartServices());
    SendTo(service.Reception.SysLogPort, "first");
    service.HandleSocketMessage(WM_SYSLOG_IPV4, service.Socket4, 32);     // a close event
    service.HandleSocketMessage(1025, service.Socket4, platform::kSocketRead);  // another message
    EXPECT_EQ(test::ReadFile(folder_.path() + "recv-recv.log"), "") << "nothing is read without a read event";

    clockCalls_ = 1;
    service.Clock = [this] {
        if (clockCalls_-- > 0) throw std::system_error(28, std::generic_category());
        return platform::LocalNow();
    };
    DispatchOne();
    ASSERT_TRUE(service.Flush());
    const Lines log = Entries("recv.log");
    EXPECT_EQ(Lines(log.end() - 2, log.end()), (Lines{"127.0.0.1 " + Sjis(u8"受信処理中に原因不明のエラーが発生 (28)"),
                                                      " " + Sjis(u8"ログファイルへの書き込みに失敗したメッセージ 1 件")}));
    SendTo(service.Reception.SysLogPort, "second");
    DispatchOne();
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(Entries("recv-recv.log"), Lines{"127.0.0.1 second"});
}

// Datagrams read together still go by their own clock readings: a batch that
// spans the end of a month is split between the two months' files.
TEST_F(ListenerTest, ABatchAcrossTheMonthEndGoesToBothMonthsFiles) {
    TSyslogService& service = AddInstance(0, "dated");
    service.Files.RecvLogName = "%y-%m.log";
    ASSERT_TRUE(server_->StartServices());
    service.Clock = [this] {
        return ++clockCalls_ <= 2 ? platform::LocalTime{2026, 1, 31, 23, 59, 59, 999} : platform::LocalTime{2026, 2, 1};
    };
    for (const char* message : {"one", "two", "three"}) SendTo(service.Reception.SysLogPort, message);
    while (clockCalls_ < 3) DispatchOne();
    ASSERT_TRUE(service.Flush());
    EXPECT_EQ(test::ReadFile(folder_.path() + "2026-01.log"),
              "2026/01/31 23:59:59.999 127.0.0.1 one\r\n2026/01/31 23:59:59.999 127.0.0.1 two\r\n");
    EXPECT_EQ(test::ReadFile(folder_.path() + "2026-02.log"), "2026/02/01 00:00:00.000 127.0.0.1 three\r\n");
}

}  // namespace
}  // namespace quorvel
