#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "http/header.h"
#include "platform/bytes.h"
#include "platform/heap.h"

using namespace tarnix;

// Allocation failure is a value in the engine; let the sanitizer's allocator
// report it the same way instead of aborting.
extern "C" __attribute__((used)) const char* __asan_default_options() { return "allocator_may_return_null=1"; }

TEST(Growth, CapacityRule) {
    EXPECT_EQ(grow_capacity(0, 1), 128u);
    EXPECT_EQ(grow_capacity(10, 1), 10u + 5 + 128);
    EXPECT_EQ(grow_capacity(7, 8), 7u + 3 + 16);
    EXPECT_EQ(grow_capacity(1000, 1000), 1000u + 500 + 1);
    for (size_t n = 1; n < 50; n++)  // header entries: (n+1) + (n+1)/2 + 4
        EXPECT_EQ(grow_capacity(n + 1, sizeof(HeaderEntry)), (n + 1) + (n + 1) / 2 + 4);
    EXPECT_EQ(grow_capacity(SIZE_MAX - 10, 1), SIZE_MAX);
    EXPECT_EQ(grow_capacity(SIZE_MAX / 3 * 2, 1), SIZE_MAX);
}

TEST(Growth, BlockIsKeptWhenLargeEnough) {
    void* p = heap_alloc(100);
    ASSERT_NE(p, nullptr);
    std::memset(p, 7, 100);
    size_t usable = heap_usable_size(p);
    ASSERT_GE(usable, 100u);
    EXPECT_EQ(grow_block(p, 100, usable), p);
    void* q = grow_block(p, 100, 100000);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(q)[99], 7);
    // An impossible size fails and leaves the block alone.
    EXPECT_EQ(grow_block(q, 100, SIZE_MAX), nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(q)[0], 7);
    bool ok = false;
    EXPECT_EQ(trim_block(q, 0, &ok), nullptr);
    EXPECT_TRUE(ok);
}

TEST(Growth, ByteBuf) {
    ByteBuf b;
    ASSERT_TRUE(b.append("0123456789", 10));
    EXPECT_EQ(b.capacity(), 10u + 5 + 128);
    std::string big(200, 'x');
    ASSERT_TRUE(b.append(big.data(), big.size()));
    EXPECT_EQ(b.capacity(), 210u + 105 + 128);
    EXPECT_FALSE(b.reserve_more(SIZE_MAX - 5));  // length overflow
    EXPECT_FALSE(b.append(big.data(), SIZE_MAX));
    EXPECT_EQ(b.size(), 210u);
    EXPECT_EQ(std::memcmp(b.data(), "0123456789xx", 12), 0);

    OwnedBytes out;
    ASSERT_TRUE(b.into_owned(&out));
    EXPECT_EQ(out.size(), 210u);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.data(), nullptr);

    ByteBuf empty;
    OwnedBytes none;
    ASSERT_TRUE(empty.into_owned(&none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.data(), nullptr);

    OwnedBytes copy;
    ASSERT_TRUE(copy.assign_copy("abc", 3));
    EXPECT_EQ(std::memcmp(copy.data(), "abc", 3), 0);
    ASSERT_TRUE(copy.assign_copy(nullptr, 0));
    EXPECT_EQ(copy.data(), nullptr);
}

// A large capture's block is kept when freed and serves the next large
// buffer, once; the cache stays bounded however many blocks come back.
TEST(Growth, LargeBlocksAreKeptAndReused) {
#ifdef _WIN32
    GTEST_SKIP() << "large blocks are kept only by the Linux heap layer";
#endif
    const size_t big = size_t(1) << 20;
    uint8_t* first = nullptr;
    {
        ByteBuf b;
        ASSERT_TRUE(b.reserve_more(big));
        std::memset(b.data(), 'a', big);
        b.commit(big);
        first = b.data();
        OwnedBytes owned;
        ASSERT_TRUE(b.into_owned(&owned));
        first = owned.data();
    }
    ByteBuf again;
    ASSERT_TRUE(again.append("xy", 2));
    ASSERT_TRUE(again.reserve_more(big - 2));
    // The same pages, not fresh zeroed ones at the same address.
    EXPECT_EQ(again.data(), first);
    EXPECT_EQ(std::memcmp(again.data(), "xy", 2), 0);
    EXPECT_EQ(again.data()[big / 2], 'a');
    ByteBuf other;
    ASSERT_TRUE(other.reserve_more(big));
    EXPECT_NE(other.data(), first);

    auto kept_of = [](size_t size, int n) {
        for (int i = 0; i < n; ++i) large_block_free(std::malloc(size));
        size_t kept = 0, usable = 0;
        while (void* p = large_block_take(LARGE_BLOCK, &usable)) {
            ++kept;
            std::free(p);
        }
        return kept;
    };
    EXPECT_EQ(kept_of(big, 20), 8u);
    EXPECT_EQ(kept_of(size_t(12) << 20, 4), 2u);
}
