// SecureBuffer: copying and wiping sources, lock bookkeeping, the scoped
// guard's zero-then-unlock, and clean-up on plain destruction.
#include "fake_platform.hpp"

#include <gmock/gmock.h>

#include <optional>
#include <stdexcept>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace hvtest {
namespace {

const std::vector<std::uint8_t> kSecret{0xDE, 0xAD, 0xBE, 0xEF, 0x01};

TEST_F(FakePlatformTest, ByteBufferSourceIsWipedByteStringSourceIsNot) {
    auto hv = handler("linux");
    auto vector_source = kSecret, span_source = kSecret;
    const auto const_source = kSecret;
    ossara::SecureBuffer from_vector(vector_source, hv);
    ossara::SecureBuffer from_span(std::span<std::uint8_t>(span_source), hv);
    ossara::SecureBuffer from_const(const_source, hv);
    EXPECT_TRUE(all_zero(vector_source) && all_zero(span_source));
    EXPECT_EQ(const_source, kSecret);
    for (auto* b : {&from_vector, &from_span, &from_const}) {
        EXPECT_EQ(b->to_bytes(), kSecret);
        EXPECT_EQ(b->address(), address_of(b->data().data()));
    }
    // data() is the protected bytes themselves; to_bytes() is a detached copy.
    from_vector.data()[0] = 0x00;
    const auto snapshot = from_vector.to_bytes();
    from_vector.zero();
    EXPECT_EQ(snapshot[1], 0xAD);
    EXPECT_TRUE(all_zero(from_vector.data()));

    auto kept = kSecret;
    EXPECT_THROW(ossara::SecureBuffer(kept, nullptr), std::invalid_argument);
    EXPECT_EQ(kept, kSecret);  // refused before anything was copied or wiped
}

TEST_F(FakePlatformTest, LargeSourcesAreCopiedWholeAndWipedWhole) {
    // Sources are copied and wiped a piece at a time; sizes on either side
    // of a piece boundary must come out whole and leave nothing behind.
    auto hv = handler("linux");
    for (const std::size_t size : {std::size_t{64} * 1024 - 1, std::size_t{64} * 1024, std::size_t{64} * 1024 + 1,
                                   std::size_t{200} * 1024 + 7}) {
        std::vector<std::uint8_t> original(size);
        for (std::size_t i = 0; i < size; ++i) original[i] = static_cast<std::uint8_t>(i * 31 + 7);
        auto source = original;
        ossara::SecureBuffer buffer(source, hv);
        EXPECT_TRUE(all_zero(source)) << size;
        EXPECT_EQ(buffer.size(), size);
        EXPECT_EQ(buffer.to_bytes(), original) << size;
    }
}

TEST_F(FakePlatformTest, LockBookkeeping) {
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("key"), hv);
    EXPECT_TRUE(buffer.unlock());  // never locked: no platform call
    EXPECT_TRUE(buffer.lock());
    logs.clear();
    EXPECT_TRUE(buffer.lock());  // already locked: no call, no line
    EXPECT_EQ(fake().locks.size(), 1u);
    EXPECT_THAT(logs.lines(), IsEmpty());

    fake().unlock_result = -1;  // a refused unlock keeps the buffer locked, so it can be retried
    EXPECT_FALSE(buffer.unlock());
    EXPECT_TRUE(buffer.locked());
    fake().unlock_result = 0;
    EXPECT_TRUE(buffer.unlock());
    EXPECT_FALSE(buffer.locked());
    EXPECT_EQ(fake().unlocks.size(), 2u);

    ossara::SecureBuffer empty(std::string_view(), hv);  // size 0 still asks the platform
    empty.lock();
    EXPECT_EQ(fake().locks.back().size, 0u);
}

TEST_F(FakePlatformTest, ScopeLeftByErrorZeroesThenUnlocksAndPassesErrorOn) {
    auto hv = handler("linux");
    ossara::SecureBuffer buffer(std::string_view("top secret"), hv);
    fake().watch = buffer.data();
    EXPECT_THROW(
        {
            ossara::SecureBuffer::Scope scope(buffer);
            EXPECT_TRUE(scope->locked());
            throw std::domain_error("inside");
        },
        std::domain_error);
    EXPECT_TRUE(all_zero(buffer.data()));
    EXPECT_FALSE(buffer.locked());
    EXPECT_THAT(fake().zero_at_unlock, ElementsAre(true));
}

TEST_F(FakePlatformTest, DestructionWipesAndUnlocksSilently) {
    auto hv = handler("linux");
    std::optional<ossara::SecureBuffer> locked, unlocked;
    locked.emplace(std::string_view("leftover secret"), hv);
    unlocked.emplace(std::string_view("other"), hv);
    ASSERT_TRUE(locked->lock());
    fake().watch = locked->data();
    logs.clear();
    unlocked.reset();
    locked.reset();
    EXPECT_EQ(fake().unlocks, fake().locks);  // only the locked one, its own range
    EXPECT_THAT(fake().zero_at_unlock, ElementsAre(true));
    EXPECT_THAT(logs.lines(), IsEmpty());
}

}  // namespace
}  // namespace hvtest
