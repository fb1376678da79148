#include "runtime/worker_count.hpp"

#include <sched.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace quorix::rt {

std::optional<unsigned> cpu_max_limit(std::string_view text) noexcept {
    // "<quota> <period>" or "max <period>", microseconds.
    auto parse = [](std::string_view s, unsigned long long& out) {
        if (s.empty()) return false;
        out = 0;
        for (char c : s) {
            if (c < '0' || c > '9' || out > (~0ULL - 9) / 10) return false;
            out = out * 10 + static_cast<unsigned>(c - '0');
        }
        return true;
    };
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    unsigned long long quota, period;
    if (!parse(text.substr(0, space), quota) || !parse(text.substr(space + 1), period) || period == 0) {
        return std::nullopt;
    }
    const unsigned long long cpus = (quota + period - 1) / period;
    if (cpus == 0) return 1u;
    return static_cast<unsigned>(std::min<unsigned long long>(cpus, 1u << 20));
}

unsigned affinity_cpus() noexcept {
    constexpr int MAX_CPUS = 8192;
    cpu_set_t* set = CPU_ALLOC(MAX_CPUS);
    if (!set) return 1;
    const std::size_t size = CPU_ALLOC_SIZE(MAX_CPUS);
    unsigned n = 1;
    if (::sched_getaffinity(0, size, set) == 0) n = static_cast<unsigned>(CPU_COUNT_S(size, set));
    CPU_FREE(set);
    return n > 0 ? n : 1;
}

namespace {

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The tightest quota on the way from the process's cgroup to the root of the hierarchy.
std::optional<unsigned> cgroup_cpu_limit() {
    const auto cgroups = read_file("/proc/self/cgroup");
    if (!cgroups) return std::nullopt;
    std::optional<unsigned> best;
    auto consider = [&](std::optional<unsigned> v) {
        if (v && (!best || *v < *best)) best = v;
    };
    std::istringstream lines(*cgroups);
    std::string line;
    while (std::getline(lines, line)) {
        const auto c1 = line.find(':');
        const auto c2 = line.find(':', c1 + 1);
        if (c1 == std::string::npos || c2 == std::string::npos) continue;
        const std::string controllers = line.substr(c1 + 1, c2 - c1 - 1);
        std::string path = line.substr(c2 + 1);
        if (line.compare(0, c1, "0") == 0 && controllers.empty()) {  // cgroup v2
            for (;;) {
                if (auto text = read_file("/sys/fs/cgroup" + path + "/cpu.max"))
                    consider(cpu_max_limit(*text));
                if (path.empty() || path == "/") break;
                path.erase(path.rfind('/'));
            }
        } else if (controllers == "cpu" || controllers == "cpu,cpuacct" || controllers == "cpuacct,cpu") {
            for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
                const auto quota = read_file(std::string(mount) + path + "/cpu.cfs_quota_us");
                const auto period = read_file(std::string(mount) + path + "/cpu.cfs_period_us");
                if (!quota || !period || quota->rfind('-', 0) == 0) continue;
                std::string both = *quota;
                while (!both.empty() && both.back() == '\n') both.pop_back();
                consider(cpu_max_limit(both + " " + *period));
            }
        }
    }
    return best;
}

}  // namespace

unsigned default_worker_count() noexcept {
    unsigned n = affinity_cpus();
    try {
        if (auto limit = cgroup_cpu_limit(); limit && *limit < n) n = *limit;
    } catch (...) {
        // An unreadable cgroup hierarchy leaves the affinity count.
    }
    return n > 0 ? n : 1;
}

}  // namespace quorix::rt
