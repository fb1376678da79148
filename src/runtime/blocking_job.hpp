#pragma once

// BlockingJob: a job for the blocking pool; BlockingTask: one made of a function, with a
// result that a JoinHandle reads (Runtime::spawn_blocking).

#include <cxxabi.h>

#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "base/panic.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/task.hpp"

namespace quorix::rt::detail {

/// A job for the blocking pool; run once by a pool thread.
class BlockingJob {
public:
    virtual void run_job() = 0;
    /// Finishes the job without running it, with Panic(why) as its outcome.
    virtual void fail(const std::string& why) noexcept = 0;
    BlockingJob* next_job = nullptr;

protected:
    ~BlockingJob() = default;
};

template <class R, class F>
class BlockingTask final : public JoinState<R>, public BlockingJob {
public:
    BlockingTask(Runtime& rt, Scheduler& sched, F fn) : JoinState<R>(rt, sched, 2, 0), fn_(std::move(fn)) {}

    [[gnu::no_sanitize("null")]] void run_job() override {  // see TaskPromise::unhandled_exception
        if (this->is_cancelled()) {
            this->set_exception(std::make_exception_ptr(TaskCancelled()));
        } else {
            try {
                if constexpr (std::is_void_v<R>) {
                    fn_();
                    this->set_value();
                } else {
                    this->set_value(fn_());
                }
            } catch (const abi::__forced_unwind&) {
                throw;  // the thread is being torn down: let it go
            } catch (...) {
                this->set_exception(std::current_exception());
            }
        }
        this->finish_external();
    }

    void fail(const std::string& why) noexcept override {
        // A job that finishes work of its own tells it why it will never run.
        if constexpr (requires(F & f) { f.fail(why); }) fn_.fail(why);
        try {
            this->set_exception(std::make_exception_ptr(Panic(why)));
        } catch (...) {
            this->set_exception(std::current_exception());  // the text could not be copied
        }
        this->finish_external();
    }

private:
    bool poll_body() override { return false; }  // never scheduled
    F fn_;
};

}  // namespace quorix::rt::detail
