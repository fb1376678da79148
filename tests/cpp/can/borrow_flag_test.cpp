#include "comm/can/borrow_flag.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <shared_mutex>

namespace quorix {
namespace {

TEST(BorrowFlag, AnExclusiveBorrowRefusesEveryOtherUntilItEnds) {
    BorrowFlag flag;
    {
        std::unique_lock send(flag, std::try_to_lock);
        ASSERT_TRUE(send);
        EXPECT_FALSE(std::unique_lock(flag, std::try_to_lock)) << "a second send or receive";
        EXPECT_FALSE(std::shared_lock(flag, std::try_to_lock)) << "a read of the name";
    }
    EXPECT_TRUE(std::unique_lock(flag, std::try_to_lock)) << "free again";
}

TEST(BorrowFlag, SharedBorrowsStackAndHoldOffAnExclusiveOneUntilTheLastEnds) {
    BorrowFlag flag;
    std::shared_lock first(flag, std::try_to_lock);
    std::optional<std::shared_lock<BorrowFlag>> second(std::in_place, flag, std::try_to_lock);
    ASSERT_TRUE(first && second->owns_lock());
    EXPECT_FALSE(std::unique_lock(flag, std::try_to_lock));
    first.unlock();
    EXPECT_FALSE(std::unique_lock(flag, std::try_to_lock)) << "one reader is still there";
    second.reset();
    EXPECT_TRUE(std::unique_lock(flag, std::try_to_lock));
}

}  // namespace
}  // namespace quorix
