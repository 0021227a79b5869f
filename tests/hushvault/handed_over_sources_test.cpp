// Sources handed over by value or as arrays are byte buffers too: their bytes
// are wiped before their storage can be released.
#include "detail/process_state.hpp"
#include "fake_platform.hpp"

#include <array>
#include <string>
#include <type_traits>
#include <vector>

namespace hvtest {
namespace {

// Arrays of bytes are accepted as they are (no hand-made span needed).
static_assert(std::is_constructible_v<ossara::secure_bytearray, std::array<std::uint8_t, 4>&>);
static_assert(std::is_constructible_v<ossara::secure_bytearray, std::uint8_t (&)[4]>);
static_assert(std::is_constructible_v<ossara::secure_bytearray, std::vector<std::uint8_t>&&>);
static_assert(std::is_constructible_v<ossara::SecureBuffer, std::array<std::uint8_t, 4>&,
                                      std::shared_ptr<ossara::Hushvault>>);

class HandedOverSources : public FakePlatformTest {
protected:
    HandedOverSources() { ossara::detail::set_secure_memory_for_tests(handler("linux")); }
    ~HandedOverSources() override { ossara::detail::set_secure_memory_for_tests(nullptr); }
    const std::vector<std::uint8_t> secret{0x5E, 0xC2, 0xE7, 0x01, 0x02, 0x03, 0x04, 0x05};
    const std::string text = "a secret long enough to live on the heap";
};

TEST_F(HandedOverSources, MovedVectorsAndStringsAreWipedByEveryEntryPoint) {
    auto hv = handler("linux");
    auto for_guard = secret, for_create = secret, for_buffer = secret;
    ossara::secure_bytearray guard(std::move(for_guard));
    ossara::SecureBuffer created = hv->create_secure_buffer(std::move(for_create));
    ossara::SecureBuffer constructed(std::move(for_buffer), hv);
    // The moved-from vectors still own their storage: it holds zeros only.
    for (const auto* source : {&for_guard, &for_create, &for_buffer}) {
        EXPECT_EQ(source->size(), secret.size());
        EXPECT_TRUE(all_zero(*source));
    }
    for (const auto* buffer : {&guard.get(), &created, &constructed}) EXPECT_EQ(buffer->to_bytes(), secret);

    std::string guard_text = text, create_text = text;
    ossara::secure_bytearray text_guard(std::move(guard_text));
    ossara::SecureBuffer text_buffer = hv->create_secure_buffer(std::move(create_text));
    EXPECT_TRUE(all_zero(ossara::testing::bytes_view(guard_text)) && all_zero(ossara::testing::bytes_view(create_text)));
    EXPECT_EQ(text_guard->to_bytes(), std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(text_buffer.to_bytes(), std::vector<std::uint8_t>(text.begin(), text.end()));
}

TEST_F(HandedOverSources, ArraysAreWipedConstSourcesAreCopiedOnly) {
    std::array<std::uint8_t, 4> array{1, 2, 3, 4};
    std::uint8_t c_array[4] = {5, 6, 7, 8};
    {
        ossara::secure_bytearray from_array(array);
        ossara::secure_bytearray from_c_array(c_array);
        EXPECT_TRUE(all_zero(array) && all_zero(c_array));
        EXPECT_EQ(from_array->to_bytes(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
        EXPECT_EQ(from_c_array->to_bytes(), (std::vector<std::uint8_t>{5, 6, 7, 8}));
    }
    // Read-only inputs stay copy-only: the caller's bytes are left alone.
    const std::array<std::uint8_t, 4> const_array{1, 2, 3, 4};
    const std::string kept = text;
    ossara::secure_bytearray from_const_array(const_array);
    ossara::secure_bytearray from_kept_string(kept);
    ossara::secure_bytearray from_literal("literal");
    EXPECT_EQ(const_array, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(kept, text);
    EXPECT_EQ(from_literal->size(), 7u);
}

// The deprecated guard takes the same sources and wipes them the same way.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
TEST_F(HandedOverSources, DeprecatedGuardWipesEverySourceHandedOver) {
    auto moved = secret;
    std::string moved_text = text;
    std::array<std::uint8_t, 4> array{1, 2, 3, 4};
    std::uint8_t c_array[4] = {5, 6, 7, 8};
    const std::string kept = text;
    ossara::secure_bytes from_vector(std::move(moved));
    ossara::secure_bytes from_string(std::move(moved_text));
    ossara::secure_bytes from_array(array);
    ossara::secure_bytes from_temporary(std::array<std::uint8_t, 2>{9, 9});
    ossara::secure_bytes from_c_array(c_array);
    ossara::secure_bytes from_kept(kept);
    EXPECT_EQ(moved.size(), secret.size());
    EXPECT_TRUE(all_zero(moved) && all_zero(ossara::testing::bytes_view(moved_text)));
    EXPECT_TRUE(all_zero(array) && all_zero(c_array));
    EXPECT_EQ(from_vector->to_bytes(), secret);
    EXPECT_EQ(from_string->to_bytes(), std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(from_array->to_bytes(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(from_temporary->size(), 2u);
    EXPECT_EQ(from_c_array->to_bytes(), (std::vector<std::uint8_t>{5, 6, 7, 8}));
    EXPECT_EQ(kept, text);
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace
}  // namespace hvtest
