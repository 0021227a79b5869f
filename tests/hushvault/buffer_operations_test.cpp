// Locking, unlocking and zeroing whole byte buffers in place.
#include "fake_platform.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <concepts>
#include <span>
#include <string_view>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

// Only mutable byte buffers can be locked or zeroed in place.
template <class T>
concept InPlaceBuffer = requires(ossara::Hushvault& hv, T&& data) {
    hv.lock_memory(std::forward<T>(data));
    hv.unlock_memory(std::forward<T>(data));
    hv.zero_memory(std::forward<T>(data));
};
static_assert(InPlaceBuffer<std::vector<std::uint8_t>&>);
static_assert(InPlaceBuffer<std::span<std::uint8_t>>);
static_assert(!InPlaceBuffer<const std::vector<std::uint8_t>&>);
static_assert(!InPlaceBuffer<std::span<const std::uint8_t>>);
static_assert(!InPlaceBuffer<std::string_view>);
static_assert(!InPlaceBuffer<const std::string&>);
static_assert(!InPlaceBuffer<std::vector<std::uint8_t>&&>);

TEST_F(FakePlatformTest, EmptyBuffersAreLeftAlone) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> empty;
    logs.clear();
    EXPECT_FALSE(hv->lock_memory(empty));
    EXPECT_FALSE(hv->unlock_memory(empty));
    hv->zero_memory(empty);
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_TRUE(fake().locks.empty() && fake().unlocks.empty() && fake().zeroes.empty());
}

TEST_F(FakePlatformTest, ZeroMemoryWritesNativeThenBufferLine) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(32, 0x42);
    logs.clear();
    hv->zero_memory(bytes);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(32, 0));
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (native): 32 bytes at 0x{:x}",
                                                      address_of(bytes.data())),
                                          "Zeroed bytearray: 32 bytes"));
}

TEST_F(FakePlatformTest, FallbackHandlerZeroesByteByByteAndRefusesLocks) {
    loader->unloadable = {"libc.so.6"};
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(10, 0x99);
    logs.clear();
    EXPECT_FALSE(hv->lock_memory(bytes));
    hv->zero_memory(bytes);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(10, 0));
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (fallback): 10 bytes at 0x{:x}",
                                                      address_of(bytes.data())),
                                          "Zeroed bytearray: 10 bytes"));
}

TEST_F(FakePlatformTest, RaisingNativeZeroingIsCaughtBelowTheBufferLevel) {
    fake().zero_throws = true;
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(12, 0x99);
    logs.clear();
    hv->zero_memory(bytes);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(12, 0));
    EXPECT_THAT(logs.lines(), ElementsAre("Memory zeroing failed: native zeroing broke", "Zeroed bytearray: 12 bytes"));
}

TEST_F(FakePlatformTest, LockAndUnlockGoThroughThePlatform) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(64, 1);
    const auto addr = address_of(bytes.data());
    EXPECT_TRUE(hv->unlock_memory(bytes));  // never locked: still asked
    EXPECT_TRUE(hv->lock_memory(bytes));
    fake().lock_result = -1;
    fake().lock_errno = 12;
    EXPECT_FALSE(hv->lock_memory(bytes));
    EXPECT_EQ(fake().locks.size(), 2u);
    ASSERT_EQ(fake().unlocks.size(), 1u);
    const auto [aligned_addr, aligned_size] = hv->_get_page_aligned_range(addr, 64);
    EXPECT_EQ(fake().unlocks[0], (Range{aligned_addr, aligned_size}));
}

TEST_F(FakePlatformTest, DisabledHandlerLeavesBufferButSecureBufferStillClears) {
    auto hv = handler("linux", false);
    std::vector<std::uint8_t> bytes(8, 0x3C);
    logs.clear();
    EXPECT_FALSE(hv->lock_memory(bytes));
    hv->zero_memory(bytes);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(8, 0x3C));

    auto buffer = hv->create_secure_buffer(std::string_view("secret"));
    EXPECT_FALSE(buffer.lock());
    buffer.zero();
    EXPECT_EQ(buffer.to_bytes(), std::vector<std::uint8_t>(6, 0));
    EXPECT_THAT(logs.lines(), IsEmpty());
    EXPECT_TRUE(loader->opened.empty());
}

TEST_F(FakePlatformTest, CreateSecureBufferGivesDistinctUnlockedCopies) {
    auto hv = handler("linux");
    const std::vector<std::uint8_t> source{1, 2, 3};
    auto a = hv->create_secure_buffer(std::span<const std::uint8_t>(source));
    auto b = hv->create_secure_buffer(std::span<const std::uint8_t>(source));
    EXPECT_NE(a.address(), b.address());
    EXPECT_FALSE(a.locked());
    EXPECT_EQ(a.secure_memory(), hv);
    EXPECT_TRUE(fake().locks.empty());
}

TEST(HandlerOwnership, CreateSecureBufferNeedsASharedHandler) {
    ossara::Hushvault on_stack("plan9", std::make_shared<FakeLoader>());
    EXPECT_THROW(on_stack.create_secure_buffer(std::string_view("x")), std::bad_weak_ptr);
}

}  // namespace
}  // namespace hvtest
