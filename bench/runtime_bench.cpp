// Runtime latency figures, each next to what a program would otherwise write:
//   - cross-thread wake: a plain thread sends to a task waiting in mpsc recv(), against a
//     bare std::condition_variable hand-over between two threads;
//   - sleep(1 ms) lateness in a task, against a clock_nanosleep(TIMER_ABSTIME) loop;
//   - 1 kHz Interval lateness in a task, against an absolute-deadline clock_nanosleep loop.
// The C loops run with PR_SET_TIMERSLACK 1 (the reactor thread uses it too). Every
// configuration runs RUNS times, interleaved; the table shows the medians of the runs.
// Prints a table; writes JSON to the path given as the first argument (default
// bench/out/runtime_bench.json). Never fails on time.

#include <sys/prctl.h>
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

constexpr int RUNS = 3;
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

double median3(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string json_path = argc > 1 ? argv[1] : "bench/out/runtime_bench.json";
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

    std::map<std::string, Stats> med;
    for (auto& [name, _] : configs) {
        std::vector<double> p50, p99, mx;
        for (const Stats& s : runs[name]) {
            p50.push_back(s.p50);
            p99.push_back(s.p99);
            mx.push_back(s.max);
        }
        med[name] = {median3(p50), median3(p99), median3(mx)};
    }

    std::printf("\n%-18s %10s %10s %10s   (microseconds; medians of %d runs)\n", "configuration", "p50",
                "p99", "max", RUNS);
    for (auto& [name, _] : configs) {
        std::printf("%-18s %10.1f %10.1f %10.1f\n", name.c_str(), med[name].p50, med[name].p99,
                    med[name].max);
    }
    const double wake_ratio = med["task_wake"].p50 / med["condvar_wake"].p50;
    const double sleep_p50_delta = med["rt_sleep_1ms"].p50 - med["c_sleep_1ms"].p50;
    const double sleep_p99_ratio = med["rt_sleep_1ms"].p99 / med["c_sleep_1ms"].p99;
    const double iv_p50_delta = med["rt_interval_1khz"].p50 - med["c_interval_1khz"].p50;
    const double iv_p99_ratio = med["rt_interval_1khz"].p99 / med["c_interval_1khz"].p99;
    std::printf("\ntask wake p50 / condvar p50:        %5.2fx  (goal <= 3x)\n", wake_ratio);
    std::printf("sleep(1 ms) p50 - C floor p50:      %+5.1f us (goal <= +15 us)\n", sleep_p50_delta);
    std::printf("sleep(1 ms) p99 / C floor p99:      %5.2fx  (goal <= 1.2x)\n", sleep_p99_ratio);
    std::printf("1 kHz Interval p50 - C floor p50:   %+5.1f us (goal <= +15 us)\n", iv_p50_delta);
    std::printf("1 kHz Interval p99 / C floor p99:   %5.2fx  (goal <= 1.2x)\n", iv_p99_ratio);

    std::filesystem::create_directories(std::filesystem::path(json_path).parent_path());
    std::ofstream json(json_path);
    json << "{\n  \"unit\": \"microseconds\",\n  \"workers\": " << rt.worker_count()
         << ",\n  \"runs\": " << RUNS << ",\n  \"configurations\": {\n";
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
