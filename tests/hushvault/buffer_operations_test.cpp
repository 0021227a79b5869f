// Locking, unlocking and zeroing whole byte buffers in place.
#include "fake_platform.hpp"

#include <gmock/gmock.h>

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
static_assert(InPlaceBuffer<std::vector<std::uint8_t>&> && InPlaceBuffer<std::span<std::uint8_t>>);
static_assert(!InPlaceBuffer<const std::vector<std::uint8_t>&> && !InPlaceBuffer<std::span<const std::uint8_t>>);
static_assert(!InPlaceBuffer<std::string_view> && !InPlaceBuffer<std::vector<std::uint8_t>&&>);

TEST_F(FakePlatformTest, ZeroMemoryZeroesTwiceWithItsLines) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> empty, bytes(32, 0x42);
    logs.clear();
    EXPECT_FALSE(hv->lock_memory(empty));
    EXPECT_FALSE(hv->unlock_memory(empty));
    hv->zero_memory(empty);
    EXPECT_THAT(logs.lines(), IsEmpty());

    hv->zero_memory(bytes);
    fake().zero_throws = true;  // caught below the buffer level; the element pass still runs
    bytes.assign(32, 0x42);
    hv->zero_memory(bytes);
    EXPECT_TRUE(all_zero(bytes));
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (native): 32 bytes at 0x{:x}",
                                                      address_of(bytes.data())),
                                          "Zeroed bytearray: 32 bytes", "Memory zeroing failed: native zeroing broke",
                                          "Zeroed bytearray: 32 bytes"));
}

TEST_F(FakePlatformTest, UnlockAsksThePlatformEvenForBuffersNeverLocked) {
    auto hv = handler("linux");
    std::vector<std::uint8_t> bytes(64, 1);
    EXPECT_TRUE(hv->unlock_memory(bytes));
    EXPECT_EQ(fake().unlocks.size(), 1u);
}

TEST_F(FakePlatformTest, DisabledHandlerLeavesBufferButSecureBufferStillClears) {
    auto hv = handler("linux", false);
    std::vector<std::uint8_t> bytes(8, 0x3C);
    EXPECT_FALSE(hv->lock_memory(bytes));
    hv->zero_memory(bytes);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(8, 0x3C));

    auto buffer = hv->create_secure_buffer(std::string_view("secret"));
    EXPECT_FALSE(buffer.lock());
    buffer.zero();
    EXPECT_TRUE(all_zero(buffer.data()));
    EXPECT_THAT(logs.lines(), ElementsAre("Secure memory disabled by configuration"));
}

}  // namespace
}  // namespace hvtest
