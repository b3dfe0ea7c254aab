#pragma once
// The owner of one system handle (a descriptor, a socket, a Windows handle):
// moved, never copied, and closed exactly once, by the only close call of its
// kind. Traits name the handle type, its invalid value and its close:
//   struct Traits { using Handle = ...; static Handle Invalid(); static void Close(Handle); };
// HandleTraits makes them from a constant and a close function.

#include <cstdint>

namespace quorvel::platform {

// A handle whose invalid value is kInvalid (as an integer: the Windows
// INVALID_HANDLE_VALUE is a pointer made from -1) and whose close is close.
template <class H, intptr_t kInvalid, auto close>
struct HandleTraits {
    using Handle = H;
    // Only a C cast turns the integer into a pointer and an integer alike.
    static H Invalid() { return (H)kInvalid; }
    static void Close(H handle) { close(handle); }
};

template <class Traits>
class UniqueHandle {
public:
    using Handle = typename Traits::Handle;

    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle Get() const { return handle_; }
    bool Valid() const { return handle_ != Traits::Invalid(); }
    Handle Release() {
        const Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }
    // Closes the handle held, if any, and holds `handle` instead.
    void Reset(Handle handle = Traits::Invalid()) {
        if (Valid()) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

}  // namespace quorvel::platform
