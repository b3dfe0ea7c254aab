#include "platform/MessageQueue.h"

#include <winsock2.h>
#include <windows.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/Winsock.h"

namespace quorvel::platform {

namespace {

// Every socket registration gets a hidden window of this class: WSAAsyncSelect
// reports readiness as a message posted to a window, never to a thread.
const char kNotifyClass[] = "QuorvelSocketNotify";

static_assert(kSocketRead == FD_READ && kSocketAccept == FD_ACCEPT && kSocketClose == FD_CLOSE,
              "the queue's events are Winsock's");

// The one timer of a timer registration's window.
constexpr UINT_PTR kTimerId = 1;

struct Registration {
    SOCKET Socket = INVALID_SOCKET;  // a timer's: kTimerId, as WM_TIMER's wParam
    unsigned Number = 0;             // a timer's: WM_TIMER
    SocketHandler Handler;
    HWND Window = nullptr;
    bool Timer = false;
};

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* slot = reinterpret_cast<std::shared_ptr<Registration>*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (slot != nullptr && *slot && message == (*slot)->Number && static_cast<SOCKET>(wParam) == (*slot)->Socket) {
        // Hold the registration so that a handler that unregisters its own
        // socket (and so destroys this window) does not destroy the function
        // it is running in.
        std::shared_ptr<Registration> reg = *slot;
        reg->Handler(message, static_cast<int64_t>(wParam), static_cast<int64_t>(lParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// 0, or the system's error code of the one attempt.
int RegisterNotifyClass() {
    static const int error = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = NotifyWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kNotifyClass;
        const DWORD code = RegisterClassA(&wc) != 0 ? 0 : GetLastError();
        return code == ERROR_CLASS_ALREADY_EXISTS ? 0 : static_cast<int>(code);
    }();
    return error;
}

// The Windows thread message queue of the thread that first uses the queue
// as its owner (see MessageQueue). Messages posted before that
// thread is known wait here and are handed over when it is.
class WindowsMessageQueue final : public MessageQueue {
public:
    ~WindowsMessageQueue() override {
        // Windows belong to the thread that made them: only that thread may
        // destroy them; the system removes those of an ended thread itself.
        const bool onOwner = GetCurrentThreadId() == OwnerId();
        for (auto& entry : registrations_) {
            if (onOwner && entry.second->Window != nullptr) {
                if (entry.second->Timer) {
                    KillTimer(entry.second->Window, kTimerId);
                } else {
                    WSAAsyncSelect(entry.second->Socket, entry.second->Window, 0, 0);
                }
                DestroyWindow(entry.second->Window);
            }
        }
    }

    int Post(unsigned number, int64_t param1, int64_t param2) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner_ == 0) {
            early_.push_back(Early{false, number, param1, param2});
            return 0;
        }
        return PostTo(owner_, number, static_cast<WPARAM>(param1), static_cast<LPARAM>(param2));
    }

    int PostQuit() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner_ == 0) {
            early_.push_back(Early{true, 0, 0, 0});
            return 0;
        }
        return PostTo(owner_, WM_QUIT, 0, 0);
    }

    int RegisterSocket(int socket, unsigned number, SocketHandler handler, int64_t events) override {
        BindOwner("RegisterSocket");
        if (socket < 0) return WSAENOTSOCK;
        if (!handler) return ERROR_INVALID_PARAMETER;
        if (const int error = RegisterNotifyClass()) return error;
        if (!win32::EnsureWinsock()) return WSANOTINITIALISED;
        UnregisterSocket(socket);
        auto reg = std::make_shared<Registration>();
        reg->Socket = static_cast<SOCKET>(static_cast<unsigned int>(socket));
        reg->Number = number;
        reg->Handler = std::move(handler);
        if (const int error = MakeWindow(reg); error != 0) return error;
        // The system posts at once for a condition that already holds, so a
        // socket registered again after a pause is read without new data.
        if (WSAAsyncSelect(reg->Socket, reg->Window, number, static_cast<long>(events & 0xFFFF)) != 0) {
            const int error = WSAGetLastError();
            DropWindow(*reg);
            return error;
        }
        registrations_[reinterpret_cast<uint64_t>(reg->Window)] = std::move(reg);
        return 0;
    }

    int StartTimer(int periodMs, TimerHandler handler, uint64_t* id) override {
        BindOwner("StartTimer");
        if (periodMs <= 0 || !handler || id == nullptr) return ERROR_INVALID_PARAMETER;
        if (const int error = RegisterNotifyClass()) return error;
        auto reg = std::make_shared<Registration>();
        reg->Socket = kTimerId;
        reg->Number = WM_TIMER;
        reg->Timer = true;
        reg->Handler = [tick = std::move(handler)](unsigned, int64_t, int64_t) { tick(); };
        if (const int error = MakeWindow(reg); error != 0) return error;
        // WM_TIMER is made only when the queue holds nothing else: a flood of
        // notifications delays ticks, which suits what timers here are for.
        if (SetTimer(reg->Window, kTimerId, static_cast<UINT>(periodMs), nullptr) == 0) {
            const int error = static_cast<int>(GetLastError());
            DropWindow(*reg);
            return error;
        }
        *id = reinterpret_cast<uint64_t>(reg->Window);
        registrations_[*id] = std::move(reg);
        return 0;
    }

    void StopTimer(uint64_t id) override {
        BindOwner("StopTimer");
        auto it = registrations_.find(id);
        if (it == registrations_.end() || !it->second->Timer) return;
        KillTimer(it->second->Window, kTimerId);
        std::shared_ptr<Registration> reg = std::move(it->second);
        registrations_.erase(it);
        DropWindow(*reg);
    }

    void UnregisterSocket(int socket) override {
        BindOwner("UnregisterSocket");
        const auto s = static_cast<SOCKET>(static_cast<unsigned int>(socket));
        for (auto it = registrations_.begin(); it != registrations_.end(); ++it) {
            if (it->second->Socket != s || it->second->Timer) continue;
            // Cancels the notifications; on a socket already closed the call
            // fails, and closing cancelled them anyway.
            WSAAsyncSelect(s, it->second->Window, 0, 0);
            std::shared_ptr<Registration> reg = std::move(it->second);
            registrations_.erase(it);
            DropWindow(*reg);
            return;
        }
    }

    int Next(QueueMessage& message) override {
        BindOwner("Next");
        for (;;) {
            MSG msg{};
            // Thread messages first (the window filter -1 selects only them):
            // a stop request must not wait behind a flood of datagrams, each
            // read of which re-posts a notification at the end of the queue.
            if (PeekMessageA(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) return 0;
            } else {
                const BOOL rc = GetMessageA(&msg, nullptr, 0, 0);
                if (rc == 0) return 0;
                if (rc < 0) return -1;
            }
            if (msg.hwnd == nullptr) {
                message.Number = msg.message;
                message.Param1 = static_cast<int64_t>(msg.wParam);
                message.Param2 = static_cast<int64_t>(msg.lParam);
                message.Target = 0;
                return 1;
            }
            auto it = registrations_.find(reinterpret_cast<uint64_t>(msg.hwnd));
            if (it == registrations_.end() || msg.message != it->second->Number) {
                // Housekeeping of our windows (and a notification that was
                // already queued when its registration went): not the host's.
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
                continue;
            }
            // WSAAsyncSelect puts the socket in wParam and the event (FD_READ,
            // equal to kSocketRead) with the error above it in lParam: the
            // layout the interface promises.
            message.Number = msg.message;
            message.Param1 = static_cast<int64_t>(msg.wParam);
            message.Param2 = static_cast<int64_t>(static_cast<uint32_t>(msg.lParam));
            message.Target = it->first;
            return 1;
        }
    }

    void Dispatch(const QueueMessage& message) override {
        BindOwner("Dispatch");
        if (message.Target == 0) return;
        auto it = registrations_.find(message.Target);
        if (it == registrations_.end()) return;
        MSG msg{};
        msg.hwnd = it->second->Window;
        msg.message = message.Number;
        msg.wParam = static_cast<WPARAM>(message.Param1);
        msg.lParam = static_cast<LPARAM>(message.Param2);
        DispatchMessageA(&msg);
    }

private:
    struct Early {
        bool Quit;
        unsigned Number;
        int64_t Param1;
        int64_t Param2;
    };

    DWORD OwnerId() {
        std::lock_guard<std::mutex> lock(mutex_);
        return owner_;
    }

    // Makes the calling thread the owner when there is none yet; ends the
    // process when another thread is.
    void BindOwner(const char* method) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner_ != 0) {
            if (owner_ != GetCurrentThreadId()) CalledOffOwner(method);
            return;
        }
        // A thread has a message queue only once it calls a message or window
        // function; PostThreadMessageA to it fails before that.
        MSG msg;
        PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        owner_ = GetCurrentThreadId();
        for (const Early& e : early_) {
            if (e.Quit) {
                PostThreadMessageA(owner_, WM_QUIT, 0, 0);
            } else {
                PostThreadMessageA(owner_, e.Number, static_cast<WPARAM>(e.Param1), static_cast<LPARAM>(e.Param2));
            }
        }
        early_.clear();
    }

    static int PostTo(DWORD thread, UINT number, WPARAM param1, LPARAM param2) {
        return PostThreadMessageA(thread, number, param1, param2) ? 0 : static_cast<int>(GetLastError());
    }

    // The registration's hidden window, pointing back at it. 0 or the error.
    static int MakeWindow(const std::shared_ptr<Registration>& reg) {
        // Never shown; a message-only parent (HWND_MESSAGE) would do too, but a
        // plain hidden window is what every Windows version delivers to.
        reg->Window = CreateWindowExA(0, kNotifyClass, kNotifyClass, WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                      nullptr, GetModuleHandleA(nullptr), nullptr);
        if (reg->Window == nullptr) return static_cast<int>(GetLastError());
        auto* slot = new std::shared_ptr<Registration>(reg);
        SetWindowLongPtrA(reg->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(slot));
        return 0;
    }

    static void DropWindow(Registration& reg) {
        if (reg.Window == nullptr) return;
        auto* slot = reinterpret_cast<std::shared_ptr<Registration>*>(GetWindowLongPtrA(reg.Window, GWLP_USERDATA));
        SetWindowLongPtrA(reg.Window, GWLP_USERDATA, 0);
        DestroyWindow(reg.Window);
        reg.Window = nullptr;
        delete slot;
    }

    std::mutex mutex_;
    DWORD owner_ = 0;
    std::deque<Early> early_;
    std::map<uint64_t, std::shared_ptr<Registration>> registrations_;
};

}  // namespace

std::unique_ptr<MessageQueue> CreateMessageQueue() { return std::make_unique<WindowsMessageQueue>(); }

}  // namespace quorvel::platform
