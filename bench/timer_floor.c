/* The floor of the timer benchmark: the timer loop's algorithm in plain C, with no
 * interpreter in the way. Records CLOCK_MONOTONIC at the start of every "call" (the call
 * itself does nothing else) and writes the readings as native int64 values.
 *
 * Usage: timer_floor MODE FREQUENCY_HZ DURATION_S OUTFILE
 *   MODE spin:N   absolute clock_nanosleep to (deadline - N ns), then busy-wait with the
 *                 processor's spin hint (the High and Realtime algorithm)
 *   MODE plain    absolute clock_nanosleep to the deadline (the floor for Normal)
 * Both make the first call at once, then one per grid point start + k * period, skipping
 * grid points that have passed (no burst of catch-up calls). Timer slack is set to 1 ns. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void relax(void) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ volatile("isb" ::: "memory");
#endif
}

static void sleep_until_ns(int64_t t) {
    struct timespec ts = {(time_t)(t / 1000000000), (long)(t % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
    }
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s spin:N|plain FREQUENCY_HZ DURATION_S OUTFILE\n", argv[0]);
        return 2;
    }
    int64_t window = -1;
    if (strncmp(argv[1], "spin:", 5) == 0) window = atoll(argv[1] + 5);
    const double hz = atof(argv[2]);
    const double duration = atof(argv[3]);
    const int64_t period = (int64_t)(1e9 / hz + 0.5);
    const size_t cap = (size_t)(duration * hz) + 16;
    int64_t* stamps = malloc(cap * sizeof *stamps);
    if (!stamps || period <= 0) return 1;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    const int64_t start = now_ns();
    const int64_t end = start + (int64_t)(duration * 1e9);
    int64_t next = start + period;
    size_t n = 0;
    for (;;) {
        const int64_t t = now_ns();
        if (t >= end || n == cap) break;
        stamps[n++] = t; /* the "call" */
        if (window < 0) {
            sleep_until_ns(next);
        } else {
            if (next - now_ns() > window) sleep_until_ns(next - window);
            while (now_ns() < next) relax();
        }
        next += period;
        const int64_t late = now_ns();
        if (late > next) next += period * ((late - next) / period + 1);
    }
    FILE* f = fopen(argv[4], "wb");
    if (!f || fwrite(stamps, sizeof *stamps, n, f) != n) return 1;
    fclose(f);
    return 0;
}
