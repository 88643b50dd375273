// Shared fixture of the unit suite: a fresh fake JVM and a fresh mock log for
// every test, and a check that the call gave back everything it took.
#pragma once

#include <gtest/gtest.h>

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
