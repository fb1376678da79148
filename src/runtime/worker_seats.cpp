#include "runtime/worker_seats.hpp"

namespace quorix::rt::detail {

bool WorkerSeats::take() {
    std::unique_lock lock(mu_);
    if (stopping_) return false;
    if (seated_ < seats_) {
        ++seated_;
        return true;
    }
    ++waiting_spares_;
    const bool offered = cv_.wait_for(lock, keep_alive_, [&] { return offers_ > 0 || stopping_; });
    if (!offered) {
        --waiting_spares_;
        return false;
    }
    if (offers_ == 0) return false;  // stopping; our waiting_spares_ entry no longer matters
    --offers_;
    return true;
}

bool WorkerSeats::release() {
    std::lock_guard lock(mu_);
    if (waiting_spares_ == 0) return false;
    // The seat passes straight to a spare: it stays counted in `seated_`.
    --waiting_spares_;
    ++offers_;
    cv_.notify_one();
    return true;
}

void WorkerSeats::vacate() {
    std::lock_guard lock(mu_);
    --seated_;
}

void WorkerSeats::stop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    cv_.notify_all();
}

}  // namespace quorix::rt::detail
