#pragma once
// A substitute for the system under the service host: records what the host
// reports and lets a test play the service manager.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ServiceEnvironment.h"

namespace quorvel::test {

class FakeQueue final : public platform::MessageQueue {
public:
    bool Post(unsigned number, int64_t p1, int64_t p2) override {
        return Push({false, platform::QueueMessage{number, p1, p2, 0}});
    }
    bool PostQuit() override { return Push({true, {}}); }
    // Stands in for the readiness of a registered socket.
    bool PostSocket(int socket) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [tag, reg] : regs_) {
            if (reg.first != socket) continue;
            items_.push_back({false, platform::QueueMessage{reg.second, socket, platform::kSocketRead, tag}});
            cv_.notify_one();
            return true;
        }
        return false;
    }
    bool RegisterSocket(int socket, unsigned number, platform::SocketHandler handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        regs_[++lastTag_] = {socket, number};
        handlers_[lastTag_] = std::move(handler);
        return true;
    }
    void UnregisterSocket(int socket) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = regs_.begin(); it != regs_.end(); ++it) {
            if (it->second.first == socket) {
                handlers_.erase(it->first);
                regs_.erase(it);
                return;
            }
        }
    }
    int GetMessage(platform::QueueMessage& message) override {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return !items_.empty(); });
        Item item = items_.front();
        items_.pop_front();
        if (item.Quit) return 0;
        message = item.Message;
        return 1;
    }
    void DispatchMessage(const platform::QueueMessage& m) override {
        platform::SocketHandler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = handlers_.find(m.Target);
            if (it == handlers_.end()) return;
            handler = it->second;
        }
        handler(m.Number, m.Param1, m.Param2);
    }

private:
    struct Item {
        bool Quit;
        platform::QueueMessage Message;
    };
    bool Push(Item item) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(item);
        cv_.notify_one();
        return true;
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Item> items_;
    std::map<uint64_t, std::pair<int, unsigned>> regs_;
    std::map<uint64_t, platform::SocketHandler> handlers_;
    uint64_t lastTag_ = 0;
};

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
    std::vector<LoggedEvent> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    int Opens() {
        std::lock_guard<std::mutex> lock(mutex);
        return opens;
    }

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
    std::mutex mutex;
    std::vector<LoggedEvent> events;
    int opens = 0;
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
    void ShowError(const std::string& caption, const std::string& text) override {
        shown.push_back(caption + "|" + text);
    }
    std::set<std::string> installed;
    std::vector<platform::ServiceEntry> entries;
    std::vector<std::string> removals;
    std::vector<std::string> shown;
};

class FakeControl final : public platform::ServiceControl {
public:
    // Like the service manager: the service main runs on a thread of its own.
    int RunDispatcher(const std::string&, const std::function<void()>& serviceMain,
                      const platform::ControlHandler& handler) override {
        ++dispatcherRuns;
        if (!underManager) return platform::kErrorNotStartedByServiceManager;
        this->handler = handler;
        std::thread(serviceMain).join();
        return 0;
    }
    void RunApplication(const std::function<void()>& work, const platform::ControlHandler& handler) override {
        ++applicationRuns;
        this->handler = handler;
        work();
    }
    std::unique_ptr<platform::StatusReporter> OpenStatusReporter(const std::string&, int& error) override {
        if (refuseReporter) {
            error = 6;
            return nullptr;
        }
        return std::make_unique<Reporter>(*this);
    }
    std::vector<platform::ServiceStatus> Reports() {
        std::lock_guard<std::mutex> lock(mutex);
        return reports;
    }

    bool underManager = true;
    bool refuseReporter = false;
    int dispatcherRuns = 0;
    int applicationRuns = 0;
    platform::ControlHandler handler;

private:
    struct Reporter final : platform::StatusReporter {
        explicit Reporter(FakeControl& c) : control(c) {}
        void Report(const platform::ServiceStatus& s) override {
            std::lock_guard<std::mutex> lock(control.mutex);
            control.reports.push_back(s);
        }
        FakeControl& control;
    };
    std::mutex mutex;
    std::vector<platform::ServiceStatus> reports;
};

struct FakePlatform {
    FakeManager manager;
    FakeControl control;
    FakeLog log;
    bool refuseQueue = false;

    platform::ServiceEnvironment Environment() {
        platform::ServiceEnvironment env;
        env.Manager = &manager;
        env.Control = &control;
        env.Log = &log;
        env.NewQueue = [this]() -> std::unique_ptr<platform::MessageQueue> {
            if (refuseQueue) return nullptr;
            return std::make_unique<FakeQueue>();
        };
        return env;
    }
};

}  // namespace quorvel::test
