#pragma once
// Runs a function when the scope ends, however it ends: the one way to undo
// a step on every path out (an early return, an exception). Pure.

#include <utility>

namespace quorvel {

template <class F>
class TScopeExit {
public:
    explicit TScopeExit(F f) : f_(std::move(f)) {}
    ~TScopeExit() { f_(); }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

private:
    F f_;
};

}  // namespace quorvel
