// SecureBuffer: copying and wiping sources, lock bookkeeping, the scoped
// guard's zero-then-unlock, and clean-up on plain destruction.
#include "fake_platform.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

const std::vector<std::uint8_t> kSecret{0xDE, 0xAD, 0xBE, 0xEF, 0x01};

bool all_zero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

TEST_F(FakePlatformTest, ByteBufferSourceIsWipedByteStringSourceIsNot) {
    auto hv = handler("linux");
    auto buffer_source = kSecret;
    ossara::SecureBuffer from_buffer(buffer_source, hv);
    EXPECT_TRUE(all_zero(buffer_source));
    EXPECT_EQ(from_buffer.to_bytes(), kSecret);

    auto span_source = kSecret;
    ossara::SecureBuffer from_span(std::span<std::uint8_t>(span_source), hv);
    EXPECT_TRUE(all_zero(span_source));

    const auto const_source = kSecret;
    ossara::SecureBuffer from_const(const_source, hv);
    EXPECT_EQ(const_source, kSecret);
    EXPECT_EQ(from_const.to_bytes(), kSecret);

    const std::string text = "password";
    ossara::SecureBuffer from_text(text, hv);
    EXPECT_EQ(text, "password");
    EXPECT_EQ(from_text.size(), 8u);
    EXPECT_EQ(from_text.length(), from_text.data().size());
    EXPECT_EQ(from_text.address(), address_of(from_text.data().data()));
}

TEST_F(FakePlatformTest, DataIsTheProtectedBytesThemselves) {
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("abc"), hv);
    buffer.data()[0] = 'X';
    EXPECT_EQ(buffer.to_bytes(), (std::vector<std::uint8_t>{'X', 'b', 'c'}));
    const auto snapshot = buffer.to_bytes();
    buffer.zero();
    EXPECT_EQ(snapshot, (std::vector<std::uint8_t>{'X', 'b', 'c'}));
    EXPECT_TRUE(all_zero(buffer.data()));
}

TEST_F(FakePlatformTest, LockBookkeeping) {
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("key"), hv);
    EXPECT_TRUE(buffer.unlock());  // never locked: no platform call
    EXPECT_TRUE(fake().unlocks.empty());

    EXPECT_TRUE(buffer.lock());
    logs.clear();
    EXPECT_TRUE(buffer.lock());  // already locked: no call, no line
    EXPECT_EQ(fake().locks.size(), 1u);
    EXPECT_THAT(logs.lines(), IsEmpty());

    fake().unlock_result = -1;  // a refused unlock keeps the buffer locked
    EXPECT_FALSE(buffer.unlock());
    EXPECT_TRUE(buffer.locked());
    fake().unlock_result = 0;
    EXPECT_TRUE(buffer.unlock());
    EXPECT_FALSE(buffer.locked());
    EXPECT_EQ(fake().unlocks.size(), 2u);
}

TEST_F(FakePlatformTest, RefusedLockStaysUnlocked) {
    fake().lock_result = -1;
    fake().lock_errno = 1;
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("key"), hv);
    EXPECT_FALSE(buffer.lock());
    EXPECT_FALSE(buffer.locked());
}

TEST_F(FakePlatformTest, EmptyBufferStillAsksToLockZeroBytes) {
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view(), hv);
    EXPECT_EQ(buffer.size(), 0u);
    buffer.lock();
    ASSERT_EQ(fake().locks.size(), 1u);
    EXPECT_EQ(fake().locks[0].size, 0u);
}

TEST_F(FakePlatformTest, ScopeLeftByErrorZeroesThenUnlocksAndPassesErrorOn) {
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("top secret"), hv);
    fake().watch = {buffer.data().data(), buffer.size()};
    EXPECT_THROW(
        {
            ossara::SecureBuffer::Scope scope(buffer);
            EXPECT_TRUE(scope->locked());
            throw std::domain_error("inside");
        },
        std::domain_error);
    EXPECT_TRUE(all_zero(buffer.data()));
    EXPECT_FALSE(buffer.locked());
    EXPECT_THAT(fake().watch_zero_at_unlock, ElementsAre(true));  // zeroed before unlocking
}

TEST_F(FakePlatformTest, FallbackScopeZeroesByteByByteAndNeedsNoUnlock) {
    loader->unloadable = {"libc.so.6"};
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("abcd"), hv);
    logs.clear();
    { ossara::SecureBuffer::Scope scope(buffer); }
    EXPECT_TRUE(all_zero(buffer.data()));
    EXPECT_THAT(logs.lines(), ElementsAre(fmt::format("Memory zeroed (fallback): 4 bytes at 0x{:x}", buffer.address())));
    EXPECT_TRUE(buffer.unlock());
}

TEST_F(FakePlatformTest, DestructionWipesAndUnlocksSilently) {
    auto hv = handler("linux");
    std::optional<ossara::SecureBuffer> buffer;
    buffer.emplace(std::string_view("leftover secret"), hv);
    ASSERT_TRUE(buffer->lock());
    fake().watch = {buffer->data().data(), buffer->size()};
    const Range locked_range = fake().locks.at(0);
    logs.clear();
    buffer.reset();
    EXPECT_THAT(fake().unlocks, ElementsAre(locked_range));
    EXPECT_THAT(fake().watch_zero_at_unlock, ElementsAre(true));
    EXPECT_THAT(logs.lines(), IsEmpty());
}

TEST_F(FakePlatformTest, DestructionOfUnlockedBufferCallsNoPlatform) {
    auto hv = handler("linux");
    { ossara::SecureBuffer buffer(std::string_view("abc"), hv); }
    EXPECT_TRUE(fake().unlocks.empty());
}

TEST_F(FakePlatformTest, BufferKeepsItsHandlerAlive) {
    std::weak_ptr<ossara::Hushvault> watch;
    std::optional<ossara::SecureBuffer> buffer;
    {
        auto hv = handler("linux");
        watch = hv;
        buffer.emplace(std::string_view("abc"), hv);
    }
    EXPECT_FALSE(watch.expired());
    buffer.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(SecureBufferArguments, NullHandlerIsRejected) {
    auto source = kSecret;
    EXPECT_THROW(ossara::SecureBuffer(source, nullptr), std::invalid_argument);
    EXPECT_EQ(source, kSecret);  // refused before anything was copied or wiped
}

}  // namespace
}  // namespace hvtest
