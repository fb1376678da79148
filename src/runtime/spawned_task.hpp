#pragma once

// CoroutineTask: a task started by Runtime::spawn.

#include <cstdint>
#include <exception>
#include <utility>

#include "runtime/join_handle.hpp"
#include "runtime/task.hpp"

namespace quorix::rt::detail {

/// A spawned coroutine: owns the outermost frame and the join state.
template <class T>
class CoroutineTask final : public JoinState<T> {
public:
    CoroutineTask(Runtime& rt, Scheduler& sched, Task<T> body, std::uint32_t refs, std::uint32_t state)
        : JoinState<T>(rt, sched, refs, state), body_(std::move(body)) {
        this->cx_.task = this;
        this->cx_.resume_point = body_.handle();
    }

private:
    bool poll_body() override {
        const bool cancelled = this->is_cancelled();
        if (!started_ && cancelled) {
            body_ = Task<T>();  // never started: drop the frame without running any of it
            this->set_exception(std::make_exception_ptr(TaskCancelled()));
            return true;
        }
        started_ = true;
        if (!drive(this->cx_, cancelled)) return false;
        if (!body_.done()) return false;
        this->settle_from(body_);
        return true;
    }

    Task<T> body_;
    bool started_ = false;
};

}  // namespace quorix::rt::detail
