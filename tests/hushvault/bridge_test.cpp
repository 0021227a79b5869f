// The two entry points the client binds at run time, reached as the client
// reaches them: dlopen of the built library and dlsym of each name.
#include "detail/process_state.hpp"
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>
#include <ossara/hushvault_bridge.hpp>

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace hvtest {
namespace {

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = ::dlopen(HUSHVAULT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        secure_bytearray_ = reinterpret_cast<ossara_hushvault_secure_bytearray_fn>(
            ::dlsym(library_, ossara::bridge::kSecureBytearraySymbol));
        get_secure_memory_ = reinterpret_cast<ossara_hushvault_get_secure_memory_fn>(
            ::dlsym(library_, ossara::bridge::kGetSecureMemorySymbol));
        ASSERT_NE(secure_bytearray_, nullptr);
        ASSERT_NE(get_secure_memory_, nullptr);
        ossara::enable_secure_memory();
    }
    void TearDown() override {
        if (library_ != nullptr) ::dlclose(library_);
    }

    void* library_ = nullptr;
    ossara_hushvault_secure_bytearray_fn secure_bytearray_ = nullptr;
    ossara_hushvault_get_secure_memory_fn get_secure_memory_ = nullptr;
};

TEST_F(BridgeTest, SecureBytearrayEntersARealGuard) {
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    std::vector<std::uint8_t> plaintext{'h', 'e', 'l', 'l', 'o'};
    auto* scope = secure_bytearray_(plaintext.data(), plaintext.size(), true);
    ASSERT_NE(scope, nullptr);
    EXPECT_EQ(plaintext, std::vector<std::uint8_t>(5, 0));
    auto data = scope->data();
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.end()), (std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_TRUE(logs.contains("Memory locked: 5 bytes"));
    scope->close();
    EXPECT_TRUE(logs.contains("Memory zeroed: 5 bytes"));
    EXPECT_TRUE(logs.contains("Memory unlocked: 5 bytes"));
}

TEST_F(BridgeTest, SecureMemorySharesTheProcessHandler) {
    auto* memory = get_secure_memory_();
    ASSERT_NE(memory, nullptr);
    std::weak_ptr<ossara::Hushvault> handler = ossara::_get_secure_memory();
    ossara::disable_secure_memory();
    EXPECT_FALSE(handler.expired());  // the share keeps the replaced handler alive

    std::vector<std::uint8_t> key(48, 0x17);
    EXPECT_TRUE(memory->lock_memory(key));
    memory->zero_memory(key);
    EXPECT_EQ(key, std::vector<std::uint8_t>(48, 0));
    handler.lock()->unlock_memory(key);
    memory->release();
    EXPECT_TRUE(handler.expired());
    ossara::enable_secure_memory();
}

}  // namespace
}  // namespace hvtest
