#include "runtime/block_on.hpp"

namespace quorix::rt {

bool on_worker_thread() noexcept { return detail::holds_worker_seat(); }

BlockingSection::BlockingSection() { detail::release_worker_seat(); }

}  // namespace quorix::rt
