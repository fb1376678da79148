// Runtime latency figures, each next to what a program would otherwise write:
//   - cross-thread wake: a plain thread sends to a task waiting in mpsc recv(), against a
//     bare std::condition_variable hand-over between two threads;
//   - sleep(1 ms) lateness in a task, against a clock_nanosleep(TIMER_ABSTIME) loop;
//   - 1 kHz Interval lateness in a task, against an absolute-deadline clock_nanosleep loop.
// The C loops run with PR_SET_TIMERSLACK 1 (the reactor thread uses it too). Every
// configuration runs RUNS times, interleaved; the table shows the medians of the runs and
// their spread (lowest-highest run), and the machine (CPUs, kernel, load before and after).
// Prints a table; writes JSON to the path given as the first argument (default
// bench/out/runtime_bench.json). Never fails on time.

#include <sys/prctl.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/block_on.hpp"
#include "runtime/interval.hpp"
#include "runtime/mpsc.hpp"
#include "runtime/runtime.hpp"
#include "runtime/time.hpp"

namespace {

using namespace quorix::rt;
using namespace std::chrono_literals;

constexpr int RUNS = 5;
constexpr int TIMER_SAMPLES = 1500;  // 1.5 s per timer run
constexpr int WAKE_SAMPLES = 3000;
constexpr auto WAKE_SPACING = 300us;  // long enough for the receiver to go back to sleep

std::int64_t mono_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_ns_abs(std::int64_t t) {
    timespec ts{time_t(t / 1'000'000'000), long(t % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleep_rel(std::chrono::nanoseconds d) { sleep_ns_abs(mono_ns() + d.count()); }

struct Stats {
    double p50, p99, max;  // microseconds
};

Stats stats(std::vector<std::int64_t> ns) {
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        return ns[std::min(ns.size() - 1, std::size_t(q * double(ns.size())))] / 1000.0;
    };
    return {at(0.50), at(0.99), ns.back() / 1000.0};
}

// ---- cross-thread wake ----

std::vector<std::int64_t> condvar_wake() {
    std::mutex mu;
    std::condition_variable cv;
    std::int64_t sent_at = 0;
    int seq = 0;
    std::atomic<int> ack{0};
    std::vector<std::int64_t> out;
    out.reserve(WAKE_SAMPLES);
    std::thread receiver([&] {
        for (int i = 1; i <= WAKE_SAMPLES; ++i) {
            std::unique_lock lock(mu);
            cv.wait(lock, [&] { return seq == i; });
            out.push_back(mono_ns() - sent_at);
            ack.store(i, std::memory_order_release);
        }
    });
    for (int i = 1; i <= WAKE_SAMPLES; ++i) {
        sleep_rel(WAKE_SPACING);
        {
            std::lock_guard lock(mu);
            sent_at = mono_ns();
            seq = i;
        }
        cv.notify_one();
        while (ack.load(std::memory_order_acquire) != i) std::this_thread::yield();
    }
    receiver.join();
    return out;
}

Task<void> wake_receiver(mpsc::Receiver<std::int64_t> rx, std::vector<std::int64_t>& out,
                         std::atomic<int>& ack) {
    int i = 0;
    while (auto sent = co_await rx.recv()) {
        out.push_back(mono_ns() - *sent);
        ack.store(++i, std::memory_order_release);
    }
}

std::vector<std::int64_t> task_wake(Runtime& rt) {
    std::vector<std::int64_t> out;
    out.reserve(WAKE_SAMPLES);
    std::atomic<int> ack{0};
    auto [tx, rx] = mpsc::channel<std::int64_t>();
    auto h = rt.spawn(wake_receiver(std::move(rx), out, ack));
    for (int i = 1; i <= WAKE_SAMPLES; ++i) {
        sleep_rel(WAKE_SPACING);
        tx.send(mono_ns());
        while (ack.load(std::memory_order_acquire) != i) std::this_thread::yield();
    }
    { auto closing = std::move(tx); }
    rt.block_on([](JoinHandle<void>& h) -> Task<void> { co_await h; }(h));
    return out;
}

// ---- timers ----

std::vector<std::int64_t> c_sleep_1ms() {
    std::vector<std::int64_t> out;
    std::thread t([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        for (int i = 0; i < TIMER_SAMPLES; ++i) {
            const std::int64_t deadline = mono_ns() + 1'000'000;
            sleep_ns_abs(deadline);
            out.push_back(mono_ns() - deadline);
        }
    });
    t.join();
    return out;
}

std::vector<std::int64_t> c_interval_1khz() {
    std::vector<std::int64_t> out;
    std::thread t([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::int64_t deadline = mono_ns();
        for (int i = 0; i < TIMER_SAMPLES; ++i) {
            deadline += 1'000'000;
            sleep_ns_abs(deadline);
            out.push_back(mono_ns() - deadline);
        }
    });
    t.join();
    return out;
}

Task<std::vector<std::int64_t>> rt_sleep_body() {
    std::vector<std::int64_t> out;
    for (int i = 0; i < TIMER_SAMPLES; ++i) {
        const Instant deadline = now() + 1ms;
        co_await sleep_until(deadline);
        out.push_back((now() - deadline).count());
    }
    co_return out;
}

Task<std::vector<std::int64_t>> rt_interval_body() {
    std::vector<std::int64_t> out;
    Interval iv(1ms);
    co_await iv.tick();  // the first tick is immediate
    for (int i = 0; i < TIMER_SAMPLES; ++i) {
        const Instant due = co_await iv.tick();
        out.push_back((now() - due).count());
    }
    co_return out;
}

template <class T>
Task<T> join(JoinHandle<T> h) {
    co_return co_await h;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "low-high" of the runs' values.
std::string spread(const std::vector<double>& v) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    char text[48];
    std::snprintf(text, sizeof text, "%.1f-%.1f", *lo, *hi);
    return text;
}

// The 1-minute load average.
double load_average() {
    double one = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &one) != 1) one = -1;
        std::fclose(f);
    }
    return one;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string json_path = argc > 1 ? argv[1] : "bench/out/runtime_bench.json";
    const double load_before = load_average();
    Runtime rt;  // default size: one worker per CPU
    std::printf("runtime_bench: %u workers, %d runs per configuration (interleaved)\n", rt.worker_count(),
                RUNS);

    const std::vector<std::pair<std::string, std::function<std::vector<std::int64_t>()>>> configs = {
        {"condvar_wake", [] { return condvar_wake(); }},
        {"task_wake", [&] { return task_wake(rt); }},
        {"c_sleep_1ms", [] { return c_sleep_1ms(); }},
        {"rt_sleep_1ms", [&] { return rt.block_on(join(rt.spawn(rt_sleep_body()))); }},
        {"c_interval_1khz", [] { return c_interval_1khz(); }},
        {"rt_interval_1khz", [&] { return rt.block_on(join(rt.spawn(rt_interval_body()))); }},
    };
    std::map<std::string, std::vector<Stats>> runs;
    for (int r = 0; r < RUNS; ++r) {
        for (auto& [name, fn] : configs) runs[name].push_back(stats(fn()));
    }

    const double load_after = load_average();

    std::map<std::string, Stats> med;
    std::map<std::string, std::pair<std::string, std::string>> spreads;  // p50, p99
    for (auto& [name, _] : configs) {
        std::vector<double> p50, p99, mx;
        for (const Stats& s : runs[name]) {
            p50.push_back(s.p50);
            p99.push_back(s.p99);
            mx.push_back(s.max);
        }
        med[name] = {median(p50), median(p99), median(mx)};
        spreads[name] = {spread(p50), spread(p99)};
    }

    utsname uts{};
    ::uname(&uts);
    std::printf("\nC++ (no interpreter), %u CPUs, Linux %s, load average %.1f before, %.1f after\n",
                std::thread::hardware_concurrency(), uts.release, load_before, load_after);
    std::printf(
        "%-18s %10s %13s %10s %15s %10s   (microseconds; medians of %d runs, spread: lowest-highest)\n",
        "configuration", "p50", "spread", "p99", "spread", "max", RUNS);
    for (auto& [name, _] : configs) {
        std::printf("%-18s %10.1f %13s %10.1f %15s %10.1f\n", name.c_str(), med[name].p50,
                    spreads[name].first.c_str(), med[name].p99, spreads[name].second.c_str(), med[name].max);
    }
    const double wake_ratio = med["task_wake"].p50 / med["condvar_wake"].p50;
    const double sleep_p50_delta = med["rt_sleep_1ms"].p50 - med["c_sleep_1ms"].p50;
    const double sleep_p99_ratio = med["rt_sleep_1ms"].p99 / med["c_sleep_1ms"].p99;
    const double iv_p50_delta = med["rt_interval_1khz"].p50 - med["c_interval_1khz"].p50;
    const double iv_p99_ratio = med["rt_interval_1khz"].p99 / med["c_interval_1khz"].p99;
    const auto goal = [](const char* what, const char* measured, bool met) {
        std::printf("  %s  %-44s %s\n", met ? "met " : "MISS", what, measured);
    };
    char text[64];
    std::printf("\nGoals (on the medians of the runs)\n");
    std::snprintf(text, sizeof text, "%.2fx", wake_ratio);
    goal("task wake p50 at most 3x a condvar's", text, wake_ratio <= 3.0);
    std::snprintf(text, sizeof text, "%+.1f us", sleep_p50_delta);
    goal("sleep(1 ms) p50 within +15 us of the C floor", text, sleep_p50_delta <= 15.0);
    std::snprintf(text, sizeof text, "%.2fx", sleep_p99_ratio);
    goal("sleep(1 ms) p99 at most 1.2x the C floor's", text, sleep_p99_ratio <= 1.2);
    std::snprintf(text, sizeof text, "%+.1f us", iv_p50_delta);
    goal("1 kHz Interval p50 within +15 us of the C floor", text, iv_p50_delta <= 15.0);
    std::snprintf(text, sizeof text, "%.2fx", iv_p99_ratio);
    goal("1 kHz Interval p99 at most 1.2x the C floor's", text, iv_p99_ratio <= 1.2);

    std::filesystem::create_directories(std::filesystem::path(json_path).parent_path());
    std::ofstream json(json_path);
    json << "{\n  \"unit\": \"microseconds\",\n  \"environment\": {\"cpus\": "
         << std::thread::hardware_concurrency() << ", \"kernel\": \"" << uts.release
         << "\", \"load_before\": " << load_before << ", \"load_after\": " << load_after
         << "},\n  \"workers\": " << rt.worker_count() << ",\n  \"runs\": " << RUNS
         << ",\n  \"configurations\": {\n";
    for (std::size_t i = 0; i < configs.size(); ++i) {
        const std::string& name = configs[i].first;
        json << "    \"" << name << "\": {\"p50\": " << med[name].p50 << ", \"p99\": " << med[name].p99
             << ", \"max\": " << med[name].max << ", \"per_run\": [";
        for (std::size_t r = 0; r < runs[name].size(); ++r) {
            const Stats& s = runs[name][r];
            json << (r ? ", " : "") << "{\"p50\": " << s.p50 << ", \"p99\": " << s.p99
                 << ", \"max\": " << s.max << "}";
        }
        json << "]}" << (i + 1 < configs.size() ? "," : "") << "\n";
    }
    json << "  },\n  \"ratios\": {\"task_wake_p50_over_condvar\": " << wake_ratio
         << ", \"sleep_p50_minus_c_us\": " << sleep_p50_delta << ", \"sleep_p99_over_c\": " << sleep_p99_ratio
         << ", \"interval_p50_minus_c_us\": " << iv_p50_delta << ", \"interval_p99_over_c\": " << iv_p99_ratio
         << "}\n}\n";
    std::printf("\nwrote %s\n", json_path.c_str());
    return 0;
}
