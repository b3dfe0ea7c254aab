#pragma once
// The worker thread's message queue: posted thread messages plus read
// readiness of registered sockets, delivered one at a time to the thread
// that owns the queue (the POSIX stand-in for a Windows thread queue with
// WSAAsyncSelect notifications).

#include <cstdint>
#include <functional>
#include <memory>

namespace quorvel::platform {

// Network events in the low 16 bits of a socket message's second parameter,
// with the values of the Windows FD_READ, FD_ACCEPT and FD_CLOSE events; the
// high 16 bits carry a pending socket error.
constexpr int64_t kSocketRead = 1;
constexpr int64_t kSocketAccept = 8;
constexpr int64_t kSocketClose = 32;

struct QueueMessage {
    unsigned Number = 0;
    int64_t Param1 = 0;      // socket messages: the socket descriptor
    int64_t Param2 = 0;      // socket messages: kSocketRead | (error << 16)
    uint64_t Target = 0;     // 0 = thread message; otherwise the registration it belongs to
};

// Called on the owning thread for one socket notification.
using SocketHandler = std::function<void(unsigned number, int64_t param1, int64_t param2)>;
// Called on the owning thread for one tick of a timer.
using TimerHandler = std::function<void()>;

// The owning thread is the first one to call Next, Dispatch, RegisterSocket
// or UnregisterSocket; a call of one of them from any other thread is a
// programming error and ends the process with a message on standard error,
// as a broken contract must not pass unseen into a loop that two threads
// then share.
class MessageQueue {
public:
    virtual ~MessageQueue() = default;

    // Safe from any thread. 0, or the system's error code when the queue
    // cannot take the message.
    virtual int Post(unsigned number, int64_t param1, int64_t param2) = 0;
    // Safe from any thread. Makes Next report the end of the loop; 0 or the
    // system's error code.
    virtual int PostQuit() = 0;

    // Owning thread only. Level-triggered: while datagrams (or bytes, or
    // connections to accept) stay queued on the socket, each Next may deliver
    // another notification for it. events: kSocketRead, or kSocketAccept for
    // a listening socket; kSocketClose added reports a peer's close as well
    // (kSocketRead alone sees it as a read of 0 bytes on POSIX only). A
    // socket registered again after an unregistration is reported at once if
    // it is ready. 0 or the system's error code.
    virtual int RegisterSocket(int socket, unsigned number, SocketHandler handler,
                               int64_t events = kSocketRead) = 0;
    // Owning thread only; safe inside a dispatch, even the socket's own: the
    // handler is never called again once this returns.
    virtual void UnregisterSocket(int socket) = 0;

    // Owning thread only. Calls the handler about every periodMs (the first
    // time one period from now), as a message of the queue, until
    // StopTimer; *id names the timer. 0 or the system's error code.
    virtual int StartTimer(int periodMs, TimerHandler handler, uint64_t* id) = 0;
    // Owning thread only; safe inside the timer's own tick.
    virtual void StopTimer(uint64_t id) = 0;

    // Owning thread only. Waits for the next message: 1 = a message,
    // 0 = quit, -1 = the queue failed (LastSystemError() says why). Posted
    // messages come before socket notifications so that a stop request is
    // not starved by a flood.
    virtual int Next(QueueMessage& message) = 0;
    // Owning thread only. Calls the socket handler of a socket message; does
    // nothing for thread messages or registrations that are gone.
    virtual void Dispatch(const QueueMessage& message) = 0;

    // Owning thread only: makes this the queue that Current() returns on it.
    void AttachToCurrentThread();
    // The calling thread's queue, or null on a thread that owns none.
    static MessageQueue* Current();
    // Owning thread only, before the queue dies.
    void DetachFromCurrentThread();

protected:
    // Reports a call of an owning-thread method from another thread and
    // aborts.
    [[noreturn]] static void CalledOffOwner(const char* method);
};

// Null when the system refuses the descriptors the queue needs
// (LastSystemError() says why).
std::unique_ptr<MessageQueue> CreateMessageQueue();

}  // namespace quorvel::platform
