// Shared fixture of the unit suite: a fresh fake JVM and a fresh mock log for
// every test, and a check that the call gave back everything it took.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "fake_jni.h"
#include "mock_driver.h"
#include "varnel.h"

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override { mock_reset(); }

    // Loads the full mock module and clears its log.
    void loadMock() {
        FakeJvm loader;
        ASSERT_EQ("0", loader.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                           loader.env(), nullptr, loader.string(mock::modulePath()))));
        mock_reset();
    }

    FakeJvm jvm;
    JNIEnv* env = jvm.env();
};

// Nothing acquired is still held, and the JNI contract was kept.
#define EXPECT_JNI_CLEAN(fake)                                                                     \
    do {                                                                                           \
        EXPECT_EQ(0u, (fake).outstanding()) << "acquired from the JVM, not released";              \
        EXPECT_TRUE((fake).violations().empty()) << ::testing::PrintToString((fake).violations()); \
    } while (0)

#if !defined(_WIN32)
// Runs `call` on a thread given a stack of `size` bytes of its own (a size
// alone may get a larger stack from the C library's cache of exited
// threads' stacks); answers the stack's bottom.
inline std::uintptr_t runOnOwnStack(std::size_t size, std::function<void()> call) {
    std::vector<unsigned char> stack(size + 4096);
    const auto bottom = (reinterpret_cast<std::uintptr_t>(stack.data()) + 4095) & ~std::uintptr_t{4095};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, reinterpret_cast<void*>(bottom), size);
    const auto run = [](void* into) -> void* {
        (*static_cast<std::function<void()>*>(into))();
        return nullptr;
    };
    pthread_t thread;
    const int created = pthread_create(&thread, &attributes, run, &call);
    EXPECT_EQ(0, created);
    if (created == 0) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    return bottom;
}
#endif
