// The two entry points the client binds at run time, reached as the client
// reaches them: dlopen of the built library and dlsym of each name.
#include "support/log_capture.hpp"

#include <ossara/Hushvault.hpp>
#include <ossara/hushvault_bridge.hpp>

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace hvtest {
namespace {

template <class Fn>
Fn bind(const char* name) {
    void* library = ::dlopen(HUSHVAULT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);  // never closed, like the client
    return library == nullptr ? nullptr : reinterpret_cast<Fn>(::dlsym(library, name));
}

TEST(Bridge, SecureBytearrayEntersARealGuard) {
    auto enter = bind<ossara_hushvault_secure_bytearray_fn>(ossara::bridge::kSecureBytearraySymbol);
    ASSERT_NE(enter, nullptr);
    ossara::testing::LogCapture logs{"ossara.Hushvault"};
    std::vector<std::uint8_t> plaintext{'h', 'e', 'l', 'l', 'o'};
    auto* scope = enter(plaintext.data(), plaintext.size(), true);
    EXPECT_EQ(plaintext, std::vector<std::uint8_t>(5, 0));
    EXPECT_EQ(std::string(scope->data().begin(), scope->data().end()), "hello");
    scope->close();
    EXPECT_TRUE(logs.contains("Memory zeroed: 5 bytes"));
    EXPECT_TRUE(logs.contains("Memory unlocked: 5 bytes"));
}

TEST(Bridge, SecureMemoryShareKeepsTheHandlerAlive) {
    auto get = bind<ossara_hushvault_get_secure_memory_fn>(ossara::bridge::kGetSecureMemorySymbol);
    ASSERT_NE(get, nullptr);
    ossara::enable_secure_memory();
    auto* memory = get();
    std::weak_ptr<ossara::Hushvault> handler = ossara::_get_secure_memory();
    ossara::disable_secure_memory();
    EXPECT_FALSE(handler.expired());

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
