// Loading the driver, resolving its entry points, Initialize, Finalize,
// GetVersion, and the shared result frame.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "entry_points.h"
#include "platform.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

struct EntryPointRow {
    const char* name;
    CK_RV missingCode;
    void* (*current)();
};

// The table as LoadDriver must resolve it, written out on its own: its order,
// each row's missing code, and the variable each row fills.
#define ROW(name, code)                                                \
    {                                                                  \
#name, code, [] { return reinterpret_cast<void*>(CP_##name); } \
    }
const EntryPointRow kEntryPoints[] = {
    ROW(Initialize, 10002),
    ROW(Finalize, 10016),
    ROW(GetSlotList, 10004),
    ROW(OpenSession, 10006),
    ROW(Login, 10008),
    ROW(CloseSession, 10014),
    ROW(GetAttributeValue, 10039),
    ROW(SetAttributeValue, 10042),
    ROW(GenerateKeyPair, 10010),
    ROW(FindObjectsFinal, 10028),
    ROW(FindObjects, 10026),
    ROW(FindObjectsInit, 10024),
    ROW(Sign, 10022),
    ROW(SignInit, 10020),
    ROW(Logout, 10012),
    ROW(GetTokenInfo, 10047),
    ROW(DestroyObject, 10048),
    ROW(EncryptInit, 10054),
    ROW(Encrypt, 10053),
    ROW(DecryptInit, 10052),
    ROW(Decrypt, 10051),
    ROW(UnwrapKey, 10059),
    ROW(WrapKey, 10060),
    ROW(GenerateKey, 10061),
};
#undef ROW

class LoadDriverTest : public BridgeTest {
protected:
    std::string loadDriver(const std::string& path) {
        return jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(env, nullptr, jvm.string(path)));
    }
    static void* symbolOf(const std::string& path, const std::string& name) {
        varnel::ModuleHandle module = varnel::openModule(path.c_str());
        return module ? varnel::findEntryPoint<void*>(module, ("C_" + name).c_str()) : nullptr;
    }
};

TEST_F(LoadDriverTest, BindsEveryEntryPointOfACompleteDriver) {
    EXPECT_EQ("0", loadDriver(mock::modulePath()));
    for (const auto& row : kEntryPoints)
        EXPECT_EQ(symbolOf(mock::modulePath(), row.name), row.current()) << row.name;
    EXPECT_EQ("0", loadDriver(mock::modulePath())) << "loading the same driver again";
    EXPECT_TRUE(mock::functionsCalled().empty()) << "loading calls no driver function";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(LoadDriverTest, NullPathIsRefusedWithoutTouchingTheBinding) {
    ASSERT_EQ("0", loadDriver(mock::modulePath()));
    FakeJvm fresh;
    EXPECT_EQ("10033",
              fresh.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(fresh.env(), nullptr, nullptr)));
    EXPECT_EQ(1, fresh.totalCalls()) << "only the status string is made";
    EXPECT_EQ(symbolOf(mock::modulePath(), "Sign"), reinterpret_cast<void*>(CP_Sign));
    EXPECT_JNI_CLEAN(fresh);
}

TEST_F(LoadDriverTest, UnloadablePathKeepsThePreviousEntryPoints) {
    ASSERT_EQ("0", loadDriver(mock::modulePath()));
    EXPECT_EQ("10001", loadDriver("/nonexistent/libnothing.so"));
    for (const auto& row : kEntryPoints)
        EXPECT_EQ(symbolOf(mock::modulePath(), row.name), row.current()) << row.name;
    EXPECT_JNI_CLEAN(jvm);
}

// Each row's variant lacks exactly that entry point: the rows before it come
// from the variant, the row itself is null, the rows after it keep the full
// mock's entry points from the load before.
#if !defined(_WIN32)
// Only a regular file reaches the loader: dlopen of a FIFO would block in
// open() holding the loader's lock. A writer opening the FIFO after a few
// seconds frees a loader that did block, and the test then fails.
TEST_F(LoadDriverTest, PathThatIsNoRegularFileNeverReachesTheLoader) {
    ASSERT_EQ("0", loadDriver(mock::modulePath()));
    char folder[] = "/tmp/varnel-load-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string fifo = std::string(folder) + "/driver.so";
    const std::string link = std::string(folder) + "/link.so";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink(fifo.c_str(), link.c_str()));

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool unblocked = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, std::chrono::seconds(5), [&] { return done; })) {
            unblocked = true;
            int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) close(writer);
        }
    });
    for (const std::string& path : {fifo, link, std::string(folder), std::string("/dev/null")})
        EXPECT_EQ("10001", loadDriver(path)) << path;
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
    EXPECT_FALSE(unblocked) << "LoadDriver blocked opening a FIFO";
    for (const auto& row : kEntryPoints)
        EXPECT_EQ(symbolOf(mock::modulePath(), row.name), row.current()) << row.name;

    EXPECT_EQ("10002", loadDriver("libc.so.6")) << "a bare name still goes to the loader's search";
    unlink(link.c_str());
    unlink(fifo.c_str());
    rmdir(folder);
    EXPECT_JNI_CLEAN(jvm);
}
#endif

TEST_F(LoadDriverTest, MissingEntryPointStopsResolutionAtItsRow) {
    for (size_t missing = 0; missing < std::size(kEntryPoints); ++missing) {
        const std::string variant = mock::variantPath(kEntryPoints[missing].name);
        ASSERT_EQ("0", loadDriver(mock::modulePath()));
        EXPECT_EQ(std::to_string(kEntryPoints[missing].missingCode), loadDriver(variant)) << variant;
        for (size_t row = 0; row < std::size(kEntryPoints); ++row) {
            const char* name = kEntryPoints[row].name;
            void* expected = row < missing    ? symbolOf(variant, name)
                             : row == missing ? nullptr
                                              : symbolOf(mock::modulePath(), name);
            EXPECT_EQ(expected, kEntryPoints[row].current())
                << "without " << kEntryPoints[missing].name << ", row " << name;
        }
    }
    EXPECT_EQ("10008", loadDriver(mock::variantPath("Login_Sign"))) << "the first missing in table order";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(LoadDriverTest, JvmThatCannotSupplyThePathGetsNullAndNoLoad) {
    ASSERT_EQ("0", loadDriver(mock::modulePath()));
    FakeJvm failing;
    jstring path = failing.string(mock::variantPath("Initialize"));
    failing.failCall(FakeJvm::Function::GetStringUTFChars);
    EXPECT_EQ(nullptr, Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(failing.env(), nullptr, path));
    EXPECT_EQ(1, failing.totalCalls()) << "no JNI call after the failed one";
    EXPECT_NE(nullptr, reinterpret_cast<void*>(CP_Initialize)) << "the variant was not loaded";
    EXPECT_JNI_CLEAN(failing);
}

TEST_F(LoadDriverTest, StatusStringThatCannotBeMadeGivesNullAfterReleasingThePath) {
    jvm.failCall(FakeJvm::Function::NewStringUTF);
    EXPECT_EQ(nullptr,
              Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(env, nullptr, jvm.string(mock::modulePath())));
    EXPECT_EQ(1, jvm.calls(FakeJvm::Function::ReleaseStringUTFChars));
    EXPECT_JNI_CLEAN(jvm);
}

class LifecycleTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    std::string initialize() {
        return jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(env, nullptr));
    }
    std::string finalize() { return jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Finalize(env, nullptr)); }
};

TEST_F(LifecycleTest, InitializeAndFinalizePassNullAndReportTheDriversAnswer) {
    mock::answer("C_Initialize", CKR_OK);
    mock::answer("C_Initialize", CKR_CRYPTOKI_ALREADY_INITIALIZED);
    mock::answer("C_Finalize", CKR_OK);
    mock::answer("C_Finalize", CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ("0", initialize());
    EXPECT_EQ("401", initialize());
    EXPECT_EQ("0", finalize());
    EXPECT_EQ("400", finalize());
    auto calls = mock::calls();
    ASSERT_EQ(4u, calls.size());
    for (const auto& call : calls) EXPECT_EQ(std::vector<CK_ULONG>{0}, call.numbers) << "a null argument";
    EXPECT_JNI_CLEAN(jvm);
}

// The status is the low 32 bits as a signed decimal in 11 bytes: vendor codes
// come out negative, and those needing 11 characters are cut to 10.
TEST_F(LifecycleTest, StatusTextIsSigned32BitDecimalCutToTenCharacters) {
    const struct {
        CK_RV rv;
        const char* text;
    } cases[] = {
        {CKR_GENERAL_ERROR, "5"},
        {CKR_VENDOR_DEFINED, "-214748364"},
        {0xC4653600UL, "-100000000"},
        {0xC4653601UL, "-999999999"},
        {0xFFFFFFFFUL, "-1"},
        {0x7FFFFFFFUL, "2147483647"},
        {static_cast<CK_RV>(0xFFFFFFFFFFFFFFFFULL), "-1"},
        {static_cast<CK_RV>(0x0000000100000005ULL), "5"},
        // A failure, however wide, never reads "0"; 32-bit builds see CKR_OK.
        {static_cast<CK_RV>(0x0000000100000000ULL), sizeof(CK_RV) > 4 ? "5" : "0"},
        {static_cast<CK_RV>(0xFFFFFFFF00000000ULL), sizeof(CK_RV) > 4 ? "5" : "0"},
    };
    for (const auto& c : cases) {
        mock::answer("C_Initialize", c.rv);
        EXPECT_EQ(c.text, initialize()) << std::hex << c.rv;
    }
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(LifecycleTest, MissingEntryPointAnswersItsCodeWithoutACall) {
    EXPECT_EQ("10002", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                           env, nullptr, jvm.string(mock::variantPath("Initialize")))));
    EXPECT_EQ("10002", initialize());
    ASSERT_EQ("10016", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                           env, nullptr, jvm.string(mock::variantPath("Finalize")))));
    EXPECT_EQ("10016", finalize());
    EXPECT_TRUE(mock::functionsCalled().empty());
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(BridgeTest, GetVersionAnswersWithoutADriver) {
    jobjectArray version = Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(env, nullptr);
    EXPECT_EQ((Strings{"0", VARNEL_VERSION_TEXT}), jvm.texts(version));
    EXPECT_TRUE(mock::functionsCalled().empty());
    EXPECT_JNI_CLEAN(jvm);
}

// Whichever JVM call fails while the array is built, the method stops there
// and answers null: the nth call is the one made to fail.
TEST_F(BridgeTest, ResultArrayStopsAtTheFirstFailedJvmCall) {
    const struct {
        FakeJvm::Function function;
        int nth;
    } failures[] = {
        {FakeJvm::Function::FindClass, 1},      {FakeJvm::Function::NewStringUTF, 1},
        {FakeJvm::Function::NewObjectArray, 1}, {FakeJvm::Function::NewStringUTF, 2},
        {FakeJvm::Function::NewStringUTF, 3},
    };
    for (const auto& failure : failures) {
        FakeJvm failing;
        failing.failCall(failure.function, failure.nth);
        EXPECT_EQ(nullptr, Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(failing.env(), nullptr));
        EXPECT_JNI_CLEAN(failing);
    }
}

}  // namespace
