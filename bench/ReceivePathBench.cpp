// The per-datagram work of the receive path, piece by piece, so that a change
// to one of them shows up as a number. Run: build with -DQUORVEL_BENCH=ON, then
// build/bench/bench_receive.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/MessageQueue.h"
#include "platform/UdpSocket.h"
#include "server/SyslogServer.h"
#include "util/DString.h"

namespace {

using namespace quorvel;

const std::string kMessage =
    "<134>Dec  7 02:06:02 host01 app[4242]: user login accepted from 192.0.2.10 port 51234\n";

void BM_ConvertControlCodes(benchmark::State& state) {
    TSyslogService service;
    for (auto _ : state) benchmark::DoNotOptimize(service.ConvertControlCodes(kMessage));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kMessage.size()));
}
BENCHMARK(BM_ConvertControlCodes);

void BM_NormaliseIPv6Sender(benchmark::State& state) {
    const std::string raw = "2001:0DB8:0000:0000:0000:0000:0000:0001";
    for (auto _ : state) {
        TIPv6Address address;
        ParseIPv6Address(raw, address);
        benchmark::DoNotOptimize(FormatIPv6Address(address, false));
    }
}
BENCHMARK(BM_NormaliseIPv6Sender);

// One received-message line with its open, lock, append and close: the
// dominant cost of every datagram.
void BM_WriteReceivedLog(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() / "quorvel-bench";
    std::filesystem::create_directories(folder);
    TSyslogService service;
    service.Files.LogsFolder = folder.string() + "/";
    service.Files.RecvLogName = "%y-%m-bench.log";
    for (auto _ : state) service.WriteReceivedLog(kMessage, "192.0.2.10");
    state.SetItemsProcessed(state.iterations());
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_WriteReceivedLog);

// One whole datagram over a real loopback socket: the send, the readiness
// report of the worker's queue, the read, the sender text and the log line.
void BM_DatagramThroughHandler(benchmark::State& state) {
    const auto folder = std::filesystem::temp_directory_path() / "quorvel-bench-recv";
    std::filesystem::create_directories(folder);
    auto queue = platform::CreateMessageQueue();
    queue->AttachToCurrentThread();
    LoadAddrInfo();
    TSyslogService service;
    service.Files.LogsFolder = folder.string() + "/";
    service.Files.SystemLogName = "op.log";
    service.Files.RecvLogName = "%y-%m-bench.log";
    service.Reception.ServerIPAddress = "127.0.0.1";
    service.Reception.SysLogPort = 0;
    {
        // Port 0 is not a valid configuration: bind a probe for a free port.
        platform::SocketHandle probe;
        platform::CreateUdpSocket(platform::kFamilyIPv4, probe);
        platform::BindIPv4(probe.Get(), 0x7F000001, 0);
        service.Reception.SysLogPort = platform::BoundPort(probe.Get());
    }
    if (!service.StartListening()) {
        state.SkipWithError("cannot listen on loopback");
        return;
    }
    std::vector<platform::BindAddress> to;
    platform::ResolvePassive("127.0.0.1", std::to_string(service.Reception.SysLogPort), to);
    platform::SocketHandle sender;
    platform::CreateUdpSocket(platform::kFamilyIPv4, sender);
    for (auto _ : state) {
        platform::SendDatagram(sender.Get(), to[0], kMessage.data(), kMessage.size());
        platform::QueueMessage message;
        queue->Next(message);
        queue->Dispatch(message);
    }
    state.SetItemsProcessed(state.iterations());
    service.StopListening();
    UnloadAddrInfo();
    queue->DetachFromCurrentThread();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_DatagramThroughHandler);

}  // namespace
