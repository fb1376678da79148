#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/prefetch.hpp"

namespace quorix {

/// Calls completed by one timer; shared by its loop and its handle. Incremented with relaxed
/// additions: readers want a recent value, nothing is ordered by it.
using TickCounter = std::shared_ptr<std::atomic<std::uint64_t>>;

/// What a timer loop calls on each tick. The binding layer implements it around a Python
/// callable and its argument tuple; tests implement it with plain counters.
class TimerCall {
public:
    virtual ~TimerCall() = default;

    /// Makes one call on the calling thread and reports its failure itself. Returns false
    /// when no call can be made any more (the interpreter is shutting down): the loop then
    /// ends without further calls. May unwind the thread (forced unwind at interpreter exit).
    virtual bool call() = 0;

    /// Called on the loop's thread, holding no lock, shortly before a call, after the thread
    /// may have slept or lost its processor: brings what the call will touch back into this
    /// processor's caches. It may take the interpreter lock briefly for that, but makes no call
    /// and changes nothing a caller sees. May unwind the thread, like call().
    virtual void prepare() {}

    /// Drops what the calls needed, once, when the loop ends normally, on a thread that may
    /// wait for the interpreter lock (never a runtime worker). An object destroyed without
    /// release() leaks its Python references on purpose: that happens only when its thread
    /// is unwound at exit, when they can no longer be released safely.
    virtual void release() = 0;
};

}  // namespace quorix
