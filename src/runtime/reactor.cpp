#include "runtime/reactor.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <memory>
#include <utility>

#include "base/thread.hpp"

namespace quorix::rt::detail {

namespace {

// epoll data of the reactor's own fds; ScheduledIo pointers are aligned and never equal.
constexpr std::uint64_t TAG_TIMER = 1, TAG_WAKE = 2;
// Set in the epoll data of a watched descriptor (a Watch pointer): aligned pointers have it clear.
constexpr std::uint64_t WATCH_BIT = 1;
constexpr std::int64_t NOT_ARMED = Reactor::NO_DEADLINE;
// What a registered fd is always watched for; EPOLLOUT is added while a writer waits.
constexpr std::uint32_t READ_INTEREST = EPOLLIN | EPOLLRDHUP | EPOLLPRI | EPOLLET;

std::int64_t monotonic_ns() noexcept {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void drain(int fd) noexcept {
    std::uint64_t count;
    while (::read(fd, &count, sizeof count) > 0) {
    }
}

}  // namespace

IoResult<Reactor*> Reactor::create() {
    std::unique_ptr<Reactor> r(new Reactor());
    r->epoll_fd_ = Fd{::epoll_create1(EPOLL_CLOEXEC)};
    if (!r->epoll_fd_) return IoError::last_os_error();
    r->timer_fd_ = Fd{::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
    if (!r->timer_fd_) return IoError::last_os_error();
    r->wake_fd_ = Fd{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    if (!r->wake_fd_) return IoError::last_os_error();
    for (auto [fd, tag] :
         {std::pair{r->timer_fd_.get(), TAG_TIMER}, std::pair{r->wake_fd_.get(), TAG_WAKE}}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tag;
        if (::epoll_ctl(r->epoll_fd_.get(), EPOLL_CTL_ADD, fd, &ev) < 0) return IoError::last_os_error();
    }
    if (int err = start_thread("quorix-reactor", &thread_main, r.get(), &r->thread_); err != 0) {
        return IoError::from_errno(err);
    }
    r->thread_started_ = true;
    return r.release();
}

void Reactor::shutdown() noexcept {
    if (!thread_started_) return;
    thread_started_ = false;
    stopping_.store(true, std::memory_order_release);
    notify();
    pthread_join(thread_, nullptr);
}

Reactor::~Reactor() {
    shutdown();
    free_deregistered();
}

void Reactor::notify() noexcept {
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_.get(), &one, sizeof one);
}

void Reactor::thread_main(void* self) {
    // The timerfd itself has no slack; this keeps any other timed wait of ours exact too.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    static_cast<Reactor*>(self)->loop();
}

void Reactor::loop() {
    epoll_event events[64];
    while (!stopping_.load(std::memory_order_acquire)) {
        const int n = ::epoll_wait(epoll_fd_.get(), events, 64, -1);
        for (int i = 0; i < n; ++i) {
            switch (events[i].data.u64) {
                case TAG_TIMER:
                    drain(timer_fd_.get());
                    fire_timers();
                    break;
                case TAG_WAKE: drain(wake_fd_.get()); break;
                default:
                    if (events[i].data.u64 & WATCH_BIT) {
                        reinterpret_cast<Watch*>(events[i].data.u64 & ~WATCH_BIT)->on_readable();
                    } else {
                        dispatch_io(static_cast<ScheduledIo*>(events[i].data.ptr), events[i].events);
                    }
            }
        }
        // Deregistered fds are freed only here, after the batch that might still name them.
        free_deregistered();
    }
}

// ---- timers ----

bool Reactor::earlier(const TimerEntry* a, const TimerEntry* b) const noexcept {
    return a->deadline_ns < b->deadline_ns || (a->deadline_ns == b->deadline_ns && a->seq < b->seq);
}

void Reactor::place(std::size_t i, TimerEntry* e) noexcept {
    heap_[i] = e;
    e->index = i;
}

void Reactor::sift_up(std::size_t i) noexcept {
    TimerEntry* e = heap_[i];
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!earlier(e, heap_[parent])) break;
        place(i, heap_[parent]);
        i = parent;
    }
    place(i, e);
}

void Reactor::sift_down(std::size_t i) noexcept {
    TimerEntry* e = heap_[i];
    const std::size_t n = heap_.size();
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && earlier(heap_[child + 1], heap_[child])) ++child;
        if (!earlier(heap_[child], e)) break;
        place(i, heap_[child]);
        i = child;
    }
    place(i, e);
}

void Reactor::erase_at(std::size_t i) noexcept {
    heap_[i]->index = TimerEntry::NOT_QUEUED;
    TimerEntry* last = heap_.back();
    heap_.pop_back();
    if (i == heap_.size()) return;
    place(i, last);
    sift_down(i);
    sift_up(last->index);
}

void Reactor::set_timerfd(std::int64_t ns) noexcept {
    itimerspec spec{};
    if (ns != NOT_ARMED) {
        // A zero it_value would disarm the timer: the earliest deadline we set is 1 ns.
        ns = ns > 0 ? ns : 1;
        spec.it_value.tv_sec = ns / 1'000'000'000;
        spec.it_value.tv_nsec = ns % 1'000'000'000;
    }
    ::timerfd_settime(timer_fd_.get(), TFD_TIMER_ABSTIME, &spec, nullptr);
}

void Reactor::arm_locked(std::int64_t deadline_ns) noexcept {
    armed_ns_ = deadline_ns;
    watched_ = false;  // a new earliest deadline is the reactor's again
    set_timerfd(deadline_ns);
}

std::int64_t Reactor::watch() noexcept {
    std::lock_guard lock(timer_mu_);
    if (armed_ns_ == NOT_ARMED || watched_) return NOT_ARMED;
    watched_ = true;
    set_timerfd(armed_ns_ + WATCH_BACKSTOP_NS);
    return armed_ns_;
}

void Reactor::unwatch() noexcept {
    std::lock_guard lock(timer_mu_);
    if (!watched_) return;
    watched_ = false;
    set_timerfd(armed_ns_);
}

void Reactor::add_timer(TimerEntry& e) {
    std::lock_guard lock(timer_mu_);
    e.reactor = this;
    e.seq = next_seq_++;
    heap_.push_back(&e);
    e.index = heap_.size() - 1;
    sift_up(e.index);
    // Only an earlier deadline re-arms (from this thread, without waking the reactor). A
    // later one waits for the reactor, which re-arms for the new minimum when it fires.
    if (e.deadline_ns < armed_ns_) arm_locked(e.deadline_ns);
}

void Reactor::remove_timer(TimerEntry& e) noexcept {
    std::lock_guard lock(timer_mu_);
    if (e.index != TimerEntry::NOT_QUEUED) erase_at(e.index);
    // The timerfd may stay armed for the removed deadline: one spurious reactor wake-up.
}

std::size_t Reactor::pending_timers() const {
    std::lock_guard lock(timer_mu_);
    return heap_.size();
}

void Reactor::fire_timers() {
    thread_local std::vector<Waker> due_;  // reused: firing allocates nothing once warm
    {
        std::lock_guard lock(timer_mu_);
        const std::int64_t now = monotonic_ns();
        while (!heap_.empty() && heap_.front()->deadline_ns <= now) {
            TimerEntry* e = heap_.front();
            erase_at(0);
            due_.push_back(std::move(e->waker));
            // Last touch of the entry: once `fired` is seen its owner may destroy it
            // without taking the lock.
            e->fired.store(true, std::memory_order_release);
        }
        arm_locked(heap_.empty() ? NOT_ARMED : heap_.front()->deadline_ns);
    }
    // Wake outside the lock: dropping a waker may free a finished task.
    for (Waker& w : due_) w.wake();
    due_.clear();
}

// ---- fds ----

IoResult<ScheduledIo*> Reactor::register_fd(int fd, std::shared_ptr<ReadHook> hook) {
    auto* io = new ScheduledIo();
    io->fd = fd;
    io->reactor = this;
    io->hook = std::move(hook);
    epoll_event ev{};
    ev.events = READ_INTEREST;
    ev.data.ptr = io;
    if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, fd, &ev) < 0) {
        IoError err = IoError::last_os_error();
        delete io;
        return err;
    }
    return io;
}

bool Reactor::set_interest_locked(ScheduledIo* io, bool writable) noexcept {
    epoll_event ev{};
    ev.events = READ_INTEREST | (writable ? EPOLLOUT : 0u);
    ev.data.ptr = io;
    if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_MOD, io->fd, &ev) < 0) return false;
    io->write_interest = writable;
    return true;
}

bool Reactor::want_writable_locked(ScheduledIo* io) noexcept {
    if (io->write_interest) return true;
    // EPOLL_CTL_MOD polls the fd under the new mask and queues an event if it is ready now,
    // edge-triggered or not: a writer that saw EAGAIN before this call and space that freed
    // up in between still meet.
    return !io->deregistered && set_interest_locked(io, true);
}

void Reactor::deregister_fd(ScheduledIo* io) noexcept {
    {
        // From here on the reactor leaves the fd's interest alone: a MOD after the owner
        // closed the fd could hit a new file under the same number.
        std::lock_guard lock(io->mu);
        io->deregistered = true;
    }
    // After EPOLL_CTL_DEL no later epoll_wait names `io`; one that already returned may,
    // so the reactor frees it after finishing its current batch.
    ::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, io->fd, nullptr);
    {
        std::lock_guard lock(free_mu_);
        io->next_free = free_list_;
        free_list_ = io;
    }
    notify();
}

void Reactor::free_deregistered() noexcept {
    ScheduledIo* list;
    {
        std::lock_guard lock(free_mu_);
        list = std::exchange(free_list_, nullptr);
    }
    while (list) delete std::exchange(list, list->next_free);
}

void Reactor::dispatch_io(ScheduledIo* io, std::uint32_t events) {
    std::uint64_t bits = 0;
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR | EPOLLPRI)) bits |= ScheduledIo::READABLE;
    if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) bits |= ScheduledIo::WRITABLE;
    // A hook that has read the fd on this thread leaves its awaiter asleep: no task is woken
    // for the event, which is the point of the hook.
    if ((bits & ScheduledIo::READABLE) && io->hook && io->hook->on_readable()) {
        bits &= ~ScheduledIo::READABLE;
        if (bits == 0) {
            io_events_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    std::uint64_t r = io->readiness.load(std::memory_order_relaxed);
    std::uint64_t next;
    do {
        const std::uint64_t tick = (r >> ScheduledIo::TICK_SHIFT) + 1;
        next = (tick << ScheduledIo::TICK_SHIFT) | (r & ScheduledIo::READINESS) | bits;
    } while (
        !io->readiness.compare_exchange_weak(r, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    // An awaiter registers its waker under mu and then re-reads readiness, so it either
    // sees the bits set above or has its waker taken here.
    Waker reader, writer;
    {
        std::lock_guard lock(io->mu);
        if (bits & ScheduledIo::READABLE) reader = std::move(io->reader);
        if (bits & ScheduledIo::WRITABLE) writer = std::move(io->writer);
        // Write space with nobody waiting for it: stop listening, or every frame the device
        // hands to the kernel would wake this thread again. A writer that waits next asks
        // anew. While writers keep waiting the interest stays, which saves two epoll_ctl per
        // wait when the fd stays congested.
        if ((events & EPOLLOUT) && !writer && io->write_interest && !io->deregistered) {
            set_interest_locked(io, false);
        }
    }
    io_events_.fetch_add(1, std::memory_order_relaxed);
    reader.wake();
    writer.wake();
}

// ---- watched descriptors ----

IoResult<void> Reactor::watch_readable(int fd, std::function<void()> on_readable) {
    auto watch = std::make_unique<Watch>(Watch{std::move(on_readable)});
    std::lock_guard lock(watch_mu_);
    watches_.reserve(watches_.size() + 1);  // before the fd is added: no failure after that
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = reinterpret_cast<std::uintptr_t>(watch.get()) | WATCH_BIT;
    if (::epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, fd, &ev) < 0) return IoError::last_os_error();
    watches_.push_back(std::move(watch));
    return {};
}

}  // namespace quorix::rt::detail
