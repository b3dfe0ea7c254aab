#pragma once
// A substitute for the system under the service host: records what the host
// reports and lets a test play the service manager.

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServiceEnvironment.h"

namespace quorvel::test {

struct LoggedEvent {
    std::string Source;
    int Type;
    int Category;
    uint32_t Id;
    std::string Text;
    bool Echo;
};

class FakeLog final : public platform::SystemLog {
public:
    std::unique_ptr<platform::EventSource> OpenEventSource(const std::string& source, bool echo) override {
        // Widens the window in which two first reporters could race.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::lock_guard<std::mutex> lock(mutex);
        ++opens;
        return std::make_unique<Source>(*this, source, echo);
    }
    std::mutex mutex;
    std::vector<LoggedEvent> events;
    int opens = 0;

private:
    struct Source final : platform::EventSource {
        Source(FakeLog& log, std::string name, bool echo) : log(log), name(std::move(name)), echo(echo) {}
        void Report(int type, int category, uint32_t id, const std::string& text) override {
            std::lock_guard<std::mutex> lock(log.mutex);
            log.events.push_back({name, type, category, id, text, echo});
        }
        FakeLog& log;
        std::string name;
        bool echo;
    };
};

class FakeManager final : public platform::ServiceManager {
public:
    int Install(const platform::ServiceEntry& entry) override {
        entries.push_back(entry);
        return installed.insert(entry.ServiceName).second ? 0 : 1073;
    }
    int Remove(const std::string& name) override {
        removals.push_back(name);
        return installed.erase(name) ? 0 : 1060;
    }
    void ShowError(const std::string& caption, const std::string& text) override { shown.push_back(caption + "|" + text); }
    std::set<std::string> installed;
    std::vector<platform::ServiceEntry> entries;
    std::vector<std::string> removals;
    std::vector<std::string> shown;
};

// Status reports are recorded in the order the host sends them; the worker
// and the service-main thread both report, hence the lock.
class FakeControl final : public platform::ServiceControl, public platform::StatusReporter {
public:
    int RunDispatcher(const std::string&, const std::function<void()>& serviceMain,
                      const platform::ControlHandler& h) override {
        ++dispatcherRuns;
        if (!underManager) return platform::kErrorNotStartedByServiceManager;
        handler = h;
        std::thread(serviceMain).join();  // the service main runs on a thread of the manager's
        return 0;
    }
    void RunApplication(const std::function<void()>& work, const platform::ControlHandler& h) override {
        ++applicationRuns;
        handler = h;
        work();
    }
    std::unique_ptr<platform::StatusReporter> OpenStatusReporter(const std::string&, int& error) override {
        error = refuseReporter ? 6 : 0;
        return refuseReporter ? nullptr : std::make_unique<Forward>(*this);
    }
    void Report(const platform::ServiceStatus& s) override {
        std::lock_guard<std::mutex> lock(mutex);
        reports.push_back(s);
    }

    bool underManager = true;
    bool refuseReporter = false;
    int dispatcherRuns = 0;
    int applicationRuns = 0;
    platform::ControlHandler handler;
    std::mutex mutex;
    std::vector<platform::ServiceStatus> reports;

private:
    struct Forward final : platform::StatusReporter {
        explicit Forward(FakeControl& c) : control(c) {}
        void Report(const platform::ServiceStatus& s) override { control.Report(s); }
        FakeControl& control;
    };
};

struct FakePlatform {
    FakeManager manager;
    FakeControl control;
    FakeLog log;
    bool refuseQueue = false;

    platform::ServiceEnvironment Environment() {
        platform::ServiceEnvironment env{&manager, &control, &log, nullptr};
        // The worker runs the build's real message queue.
        env.NewQueue = [this]() { return refuseQueue ? nullptr : platform::CreateMessageQueue(); };
        return env;
    }
};

}  // namespace quorvel::test
