#pragma once
// A substitute for the system under the service host: records what the host
// reports and lets a test play the service manager.

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Folders.h"
#include "platform/ServiceEnvironment.h"

namespace quorvel::test {

// Status reports and events are recorded in the order the host sends them;
// the worker and the service-main thread both send, hence the lock.
class FakePlatform final : public platform::ServiceManager,
                           public platform::ServiceControl,
                           public platform::SystemLog {
public:
    int Install(const platform::ServiceEntry&) override { return 0; }
    int Remove(const std::string&) override { return 0; }
    void ShowError(const std::string&, const std::string&) override {}

    int RunDispatcher(const std::string&, const std::function<void()>& serviceMain,
                      const platform::ControlHandler& h) override {
        handler = h;
        std::thread(serviceMain).join();  // the service main runs on a thread of the manager's
        return 0;
    }
    void RunApplication(const std::function<void()>& work, const platform::ControlHandler& h) override {
        handler = h;
        work();
    }
    int OpenStatusReporter(const std::string&, std::unique_ptr<platform::StatusReporter>& reporter) override {
        if (!refuseReporter) reporter = std::make_unique<Reporter>(*this);
        return refuseReporter ? 6 : 0;
    }
    std::unique_ptr<platform::EventSource> OpenEventSource(const std::string& source, bool echo) override {
        // Widens the window in which two first reporters could race.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> lock(mutex);
        ++opens;
        return std::make_unique<Source>(*this, source + (echo ? " echo " : " "));
    }

    platform::ServiceEnvironment Environment() {
        // The worker runs the build's real message queue; a refused one
        // leaves a system error behind, as the system's refusal would.
        return {this, this, this, [this]() -> std::unique_ptr<platform::MessageQueue> {
                    if (!refuseQueue) return platform::CreateMessageQueue();
                    LeaveSystemError();
                    return nullptr;
                }};
    }
    // Sets the thread's last system error by a call that fails; lastError
    // keeps its code.
    void LeaveSystemError() { lastError = platform::CreateFolder(""); }

    bool refuseReporter = false, refuseQueue = false;
    int lastError = 0;
    platform::ControlHandler handler;
    std::mutex mutex;
    std::vector<platform::ServiceStatus> reports;
    std::vector<std::string> statusTexts;  // ReportText, in order
    std::vector<std::string> events;       // "<source>[ echo] <type>/<category>/<id> <text>"
    int opens = 0;

private:
    template <typename T>
    void Record(std::vector<T>& to, T what) {
        std::lock_guard<std::mutex> lock(mutex);
        to.push_back(std::move(what));
    }
    struct Reporter final : platform::StatusReporter {
        explicit Reporter(FakePlatform& f) : fake(f) {}
        void Report(const platform::ServiceStatus& s) override { fake.Record(fake.reports, s); }
        void ReportText(const std::string& text) override { fake.Record(fake.statusTexts, text); }
        FakePlatform& fake;
    };
    struct Source final : platform::EventSource {
        Source(FakePlatform& f, std::string n) : fake(f), name(std::move(n)) {}
        void Report(int type, int category, uint32_t id, const std::string& text) override {
            fake.Record(fake.events, name + std::to_string(type) + "/" + std::to_string(category) + "/" +
                                         std::to_string(id) + " " + text);
        }
        FakePlatform& fake;
        std::string name;
    };
};

}  // namespace quorvel::test
