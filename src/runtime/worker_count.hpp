#pragma once

// How many worker threads the runtime starts by default, and how many CPUs a thread may use.

#include <optional>
#include <string_view>

namespace quorix::rt {

/// CPUs in the calling thread's affinity mask; 1 when it can't be read.
unsigned affinity_cpus() noexcept;

/// Threads this process may run on: the CPUs of its affinity mask, limited by a cgroup CPU
/// quota (cgroup v2 cpu.max, or v1 cpu.cfs_quota_us) rounded up; at least 1.
unsigned default_worker_count() noexcept;

/// CPUs allowed by one cgroup v2 cpu.max text ("max 100000" or "150000 100000"):
/// ceil(quota / period), at least 1; nullopt for no limit or text it cannot read.
std::optional<unsigned> cpu_max_limit(std::string_view cpu_max) noexcept;

}  // namespace quorix::rt
