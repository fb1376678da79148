#include "runtime/mpsc.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/select.hpp"
#include "runtime/time.hpp"
#include "runtime_test_util.hpp"

namespace quorix::rt {
namespace {

using namespace std::chrono_literals;
using testing::Counted;
using testing::eventually;

template <class T>
Task<std::vector<T>> drain(mpsc::Receiver<T>& rx) {
    std::vector<T> out;
    while (auto v = co_await rx.recv()) out.push_back(std::move(*v));
    co_return out;
}

TEST(RtMpsc, KeepsOrderAndClosesWhenTheLastSenderGoes) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx, rx] = mpsc::channel<int>();
    auto tx2 = tx;
    for (int i = 0; i < 100; ++i) ASSERT_TRUE((i % 2 ? tx : tx2).send(i));  // more than one ring growth
    tx = mpsc::Sender<int>(tx2);                                            // copy-assign: still two senders
    { auto dropped = std::move(tx2); }
    EXPECT_FALSE(rx.is_closed());
    { auto dropped = std::move(tx); }
    EXPECT_TRUE(rx.is_closed());
    auto got = rt.block_on(drain(rx));
    ASSERT_EQ(got.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(got[i], i);
}

TEST(RtMpsc, AWaitingReceiverWakesForAMessageAndForTheClose) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx, rx] = mpsc::channel<std::string>();
    auto h = rt.spawn(drain(rx));
    std::thread producer([tx = std::move(tx)]() mutable {
        tx.send("a");
        std::this_thread::yield();
        tx.send("b");
    });  // the sender dies with the thread's lambda
    producer.join();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_EQ(h.take_result(), (std::vector<std::string>{"a", "b"}));
}

TEST(RtMpsc, SendFailsOnceTheReceiverIsClosedOrGone) {
    auto [tx, rx] = mpsc::channel<int>();
    ASSERT_TRUE(tx.send(1));
    rx.close();
    EXPECT_TRUE(tx.is_closed());
    EXPECT_FALSE(tx.send(2));
    EXPECT_EQ(rx.try_recv(), 1);  // queued before the close: still delivered
    EXPECT_EQ(rx.try_recv(), std::nullopt);
    auto [tx3, rx3] = mpsc::channel<int>();
    { auto gone = std::move(rx3); }
    EXPECT_FALSE(tx3.send(3));
}

TEST(RtMpsc, DroppingTheReceiverDestroysQueuedMessages) {
    {
        auto [tx, rx] = mpsc::channel<Counted>();
        for (int i = 0; i < 20; ++i) tx.send(Counted(i));
        EXPECT_EQ(Counted::live.load(), 20);
        auto first = rx.try_recv();
        EXPECT_EQ(first->value, 0);
    }
    EXPECT_EQ(Counted::live.load(), 0);
}

TEST(RtMpsc, ManyThreadsSendWhileOneTaskReceives) {
    Runtime rt(RuntimeConfig{.workers = 2});
    constexpr int THREADS = 4, EACH = 5000;
    auto [tx, rx] = mpsc::channel<std::pair<int, int>>();
    auto h = rt.spawn(drain(rx));
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t, tx]() mutable {
            for (int i = 0; i < EACH; ++i) tx.send({t, i});
        });
    }
    { auto last = std::move(tx); }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    auto got = h.take_result();
    ASSERT_EQ(got.size(), std::size_t(THREADS * EACH));
    std::vector<int> next(THREADS, 0);
    for (auto [t, i] : got) EXPECT_EQ(i, next[t]++);  // per-sender order kept
}

TEST(RtMpsc, ALosingOrCancelledReceiveTakesNothing) {
    Runtime rt(RuntimeConfig{.workers = 1});
    auto [tx, rx] = mpsc::channel<int>();
    auto lose = [&]() -> Task<int> {
        auto r = co_await select(rx.recv(), sleep(1ms));
        co_return static_cast<int>(r.index());
    };
    EXPECT_EQ(rt.block_on(lose()), 1);
    auto wait_forever = [&]() -> Task<void> { co_await rx.recv(); };
    auto h = rt.spawn(wait_forever());
    ASSERT_TRUE(eventually([&] { return !h.is_finished(); }));
    h.abort();
    ASSERT_TRUE(eventually([&] { return h.is_finished(); }));
    EXPECT_THROW(h.take_result(), TaskCancelled);
    ASSERT_TRUE(tx.send(42));
    EXPECT_EQ(rx.try_recv(), 42);
}

}  // namespace
}  // namespace quorix::rt
