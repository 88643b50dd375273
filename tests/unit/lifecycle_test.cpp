// Loading the driver, resolving its entry points, Initialize, Finalize,
// GetVersion, and the shared result frame.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <valgrind/valgrind.h>
extern char** environ;
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
#if defined(_WIN32)
        varnel::ModuleHandle module = LoadLibraryA(path.c_str());
#else
        varnel::ModuleHandle module = dlopen(path.c_str(), RTLD_NOW);
#endif
        return module ? varnel::findEntryPoint<void*>(module, ("C_" + name).c_str()) : nullptr;
    }
    static void expectTheMocksEntryPoints() {
        for (const auto& row : kEntryPoints)
            EXPECT_EQ(symbolOf(mock::modulePath(), row.name), row.current()) << row.name;
    }
};

TEST_F(LoadDriverTest, BindsEveryEntryPointOfACompleteDriver) {
    EXPECT_EQ("0", loadDriver(mock::modulePath()));
    expectTheMocksEntryPoints();
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
    expectTheMocksEntryPoints();
    EXPECT_JNI_CLEAN(jvm);
}

// Each row's variant lacks exactly that entry point: the rows before it come
// from the variant, the row itself is null, the rows after it keep the full
// mock's entry points from the load before.
#if !defined(_WIN32)
// Runs this one test of the suite in a child with `variables` added; true if
// it passed there.
bool passesInChild(const std::string& test, std::vector<std::string> variables,
                   const char* folder = nullptr) {
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return false;
    const auto setsSearchPath = [](const std::string& v) { return v.rfind("LD_LIBRARY_PATH=", 0) == 0; };
    const bool replacesSearchPath = std::any_of(variables.begin(), variables.end(), setsSearchPath);
    for (char** variable = environ; *variable; ++variable)
        if (!replacesSearchPath || !setsSearchPath(*variable)) variables.push_back(*variable);
    std::vector<char*> envp;
    for (std::string& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=" + test;
    char* argv[] = {self, filter.data(), nullptr};
    char here[4096];
    if (!getcwd(here, sizeof here) || (folder && chdir(folder) != 0)) return false;
    pid_t child = 0;
    const int spawned = posix_spawn(&child, self, nullptr, nullptr, argv, envp.data());
    if (chdir(here) != 0 || spawned != 0) return false;
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

jobjectArray signWithoutData(JNIEnv* env) {
    return Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(env, nullptr, 1, nullptr, 0);
}

// Frees a loader blocked opening `fifo`: every few seconds until the test is
// done a writer opens it, which the test then fails.
class FifoWatchdog {
public:
    explicit FifoWatchdog(std::string fifo) : fifo_(std::move(fifo)), thread_([this] { watch(); }) {}
    // Whether the loader had to be freed.
    bool stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        finished_.notify_one();
        thread_.join();
        return unblocked_;
    }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        // A writer's open succeeds only while a reader, the loader, holds the FIFO.
        while (!finished_.wait_for(lock, std::chrono::seconds(5), [&] { return done_; })) {
            int writer = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0) {
                unblocked_ = true;
                close(writer);
            }
        }
    }
    std::string fifo_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    bool unblocked_ = false;
    std::thread thread_;
};

// `path` from the folder libVarnel lies in, through $ORIGIN, which the loader
// expands to that folder.
std::string throughOrigin(const std::string& path) {
    Dl_info info;
    EXPECT_TRUE(dladdr(reinterpret_cast<void*>(&Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver), &info));
    std::string up = "$ORIGIN";
    for (const char* at = info.dli_fname; (at = std::strchr(at + 1, '/'));) up += "/..";
    return up + path;
}

// Only a regular file reaches the loader: dlopen of a FIFO would block in
// open() holding the loader's lock. A path is checked where the loader opens
// it: after $ORIGIN, and whatever its times (past 2038 the 32-bit stat()
// fails). An empty path is no driver (dlopen("") is the main program).
TEST_F(LoadDriverTest, PathThatIsNoRegularFileNeverReachesTheLoader) {
    ASSERT_EQ("0", loadDriver(mock::modulePath()));
    char folder[] = "/tmp/varnel-load-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string fifo = std::string(folder) + "/driver.so";
    const std::string late = std::string(folder) + "/after-2038.so";
    const std::string link = std::string(folder) + "/link.so";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, mkfifo(late.c_str(), 0600));
    const timespec in2040[2] = {{2208988800, 0}, {2208988800, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, late.c_str(), in2040, 0));
    ASSERT_EQ(0, symlink(fifo.c_str(), link.c_str()));

    FifoWatchdog watchdog(fifo), lateWatchdog(late);
    for (const std::string& path : {fifo, late, link, throughOrigin(fifo), std::string(folder),
                                    std::string("/dev/null"), std::string(""), std::string("$LIB/x.so")})
        EXPECT_EQ("10001", loadDriver(path)) << path;
    EXPECT_FALSE(watchdog.stop()) << "LoadDriver blocked opening a FIFO";
    EXPECT_FALSE(lateWatchdog.stop()) << "LoadDriver blocked opening a FIFO dated 2040";
    expectTheMocksEntryPoints();

    EXPECT_EQ("0", loadDriver(throughOrigin(mock::modulePath()))) << "$ORIGIN is this library's folder";
    EXPECT_EQ("10002", loadDriver("libc.so.6")) << "a bare name still goes to the loader's search";
    unlink(link.c_str());
    unlink(late.c_str());
    unlink(fifo.c_str());
    rmdir(folder);
    EXPECT_JNI_CLEAN(jvm);
}

// A link flipped between the driver and a FIFO while LoadDriver runs: the
// loader gets the file that was checked, never the FIFO.
TEST_F(LoadDriverTest, LinkSwappedDuringTheLoadNeverHandsTheLoaderAFifo) {
    // Valgrind runs one thread at a time: the spinning swapper can starve the
    // loads for good there, and no race is left to see. The other builds run it.
    if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "a race, and valgrind runs one thread at a time";
    char folder[] = "/tmp/varnel-swap-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string fifo = std::string(folder) + "/fifo.so";
    const std::string link = std::string(folder) + "/driver.so";
    const std::string other = std::string(folder) + "/other.so";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink(mock::modulePath().c_str(), link.c_str()));
    ASSERT_EQ(0, symlink(fifo.c_str(), other.c_str()));
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, other.c_str(), RENAME_EXCHANGE);
    });
    FifoWatchdog watchdog(fifo);
    // A new name each call: the loader knows a name it loaded and opens nothing.
    for (int call = 0; call < 2000; ++call) {
        const std::string name = std::string(folder) + "/" + std::to_string(call) + ".so";
        ASSERT_EQ(0, symlink(link.c_str(), name.c_str()));
        const std::string answer = loadDriver(name);
        unlink(name.c_str());
        ASSERT_TRUE(answer == "0" || answer == "10001") << answer << " at call " << call;
    }
    stop = true;
    swapper.join();
    EXPECT_FALSE(watchdog.stop()) << "LoadDriver blocked opening a FIFO";
    unlink(other.c_str());
    unlink(link.c_str());
    unlink(fifo.c_str());
    rmdir(folder);
    EXPECT_JNI_CLEAN(jvm);
}

// A bare name is looked up where the loader would look, LD_LIBRARY_PATH
// first (an empty element is the working folder): a FIFO found there is
// refused, a driver found there is loaded. LD_LIBRARY_PATH is read when the
// process starts, so the case runs in a child of this suite.
TEST_F(LoadDriverTest, BareNameFoundAsAFifoOnTheSearchPathIsRefused) {
    if (const char* child = std::getenv("VARNEL_TEST_SEARCH_CHILD")) {
        EXPECT_EQ("10001", loadDriver("fifo.so")) << "LD_LIBRARY_PATH " << child;
        EXPECT_EQ("0", loadDriver("driver.so")) << "LD_LIBRARY_PATH " << child;
        return;
    }
    char folder[] = "/tmp/varnel-search-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    const std::string fifo = std::string(folder) + "/fifo.so";
    const std::string driver = std::string(folder) + "/driver.so";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink(mock::modulePath().c_str(), driver.c_str()));
    FifoWatchdog watchdog(fifo);
    // An empty element names the working folder: the child starts in it.
    for (const std::string& searchPath : {std::string(folder), std::string("/nonexistent:")})
        EXPECT_TRUE(passesInChild("LoadDriverTest.BareNameFoundAsAFifoOnTheSearchPathIsRefused",
                                  {"VARNEL_TEST_SEARCH_CHILD=" + searchPath, "LD_LIBRARY_PATH=" + searchPath},
                                  folder))
            << "LD_LIBRARY_PATH " << searchPath;
    EXPECT_FALSE(watchdog.stop()) << "LoadDriver blocked opening a FIFO";
    unlink(driver.c_str());
    unlink(fifo.c_str());
    rmdir(folder);
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

// HotSpot's guard zones at their defaults (1 red, 2 yellow, 1 reserved) and
// at their largest, each rounded up to whole pages on its own.
TEST(StackGuard, ZonesAreRoundedUpToThePageSizeEachOnItsOwn) {
    struct Row {
        std::size_t page, defaults, largest;
    };
    for (const Row& row : {Row{4096, 16384, 86016}, Row{16384, 49152, 98304}, Row{65536, 196608, 196608}}) {
        EXPECT_EQ(row.defaults, varnel::guardZoneBytes({1, 2, 1}, row.page)) << row.page;
        EXPECT_EQ(row.largest, varnel::guardZoneBytes(varnel::kLargestGuardZones, row.page)) << row.page;
    }
    EXPECT_EQ(0u, varnel::lowestUsableAddress(0, 4096)) << "an unknown bottom stays unknown";
}

#if defined(_WIN32)
// The reservation's base, as GetCurrentThreadStackLimits (Windows 8 on, so
// looked up here only) gives it.
TEST(StackGuard, BottomIsTheBaseOfTheThreadsReservation) {
    using Limits = void(WINAPI*)(PULONG_PTR, PULONG_PTR);
    auto limits = reinterpret_cast<Limits>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentThreadStackLimits")));
    if (!limits) GTEST_SKIP() << "no GetCurrentThreadStackLimits to compare with";
    ULONG_PTR low = 0, high = 0;
    limits(&low, &high);
    EXPECT_EQ(low, varnel::lookUpStackBottom());
}
#else
// The bottom of each kind of thread's stack: the main thread's (its size
// limit below its top), a thread made the way the JVM makes its threads (no
// guard page of the C library's) and one given its stack by
// pthread_attr_setstack; the lowest usable address lies the zones above it.
TEST(StackGuard, BottomOfEachKindOfThreadHoldsTheFrameAndLiesTheZonesBelowTheLimit) {
    struct Seen {
        std::uintptr_t bottom = 0, frame = 0;
    };
    const auto look = [](void* into) -> void* {
        auto* seen = static_cast<Seen*>(into);
        seen->bottom = varnel::lookUpStackBottom();
        seen->frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        return nullptr;
    };
    constexpr std::size_t kStack = 256 * 1024;
    rlimit limit;
    ASSERT_EQ(0, getrlimit(RLIMIT_STACK, &limit));
    Seen main;
    look(&main);
    EXPECT_LT(main.frame - main.bottom, limit.rlim_cur) << "main thread";

    Seen jvmLike, setStack;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStack);
    pthread_attr_setguardsize(&attributes, 0);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, &attributes, look, &jvmLike));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    const std::uintptr_t givenBottom = runOnOwnStack(kStack, [&] { look(&setStack); });
    for (const Seen* seen : {&jvmLike, &setStack}) EXPECT_LT(seen->frame - seen->bottom, kStack);
    EXPECT_EQ(givenBottom, setStack.bottom) << "the stack given is the stack";
    for (const Seen& seen : {main, jvmLike, setStack})
        for (std::size_t page : {4096, 16384, 65536})
            EXPECT_EQ(seen.bottom + varnel::guardZoneBytes(varnel::kLargestGuardZones, page),
                      varnel::lowestUsableAddress(seen.bottom, page));
}

// The main thread reads /proc/self/maps for its stack, which fails while no
// file descriptor is free: the check then lets that call through, and the
// next looks again. In a fresh child, the first checked call of its process,
// with a stack limit low enough that the check must refuse.
TEST_F(BridgeTest, StackLookupThatFailedIsTriedAgainOnTheNextCall) {
    if (!std::getenv("VARNEL_TEST_STACK_CHILD")) {
        EXPECT_TRUE(passesInChild("BridgeTest.StackLookupThatFailedIsTriedAgainOnTheNextCall",
                                  {"VARNEL_TEST_STACK_CHILD=1"}));
        return;
    }
    rlimit stack, files;
    ASSERT_EQ(0, getrlimit(RLIMIT_STACK, &stack));
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &files));
    const rlimit small = {96 * 1024, stack.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_STACK, &small));
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    const rlimit none = {static_cast<rlim_t>(lowest), files.rlim_max};
    // Nothing but the call while no descriptor is free (UBSan's checks need one).
    JNIEnv* const jni = env;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    const jobjectArray unknown = signWithoutData(jni);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &files));
    EXPECT_EQ(Strings({"10035", ""}), jvm.texts(unknown)) << "stack unknown: the call goes on";
    EXPECT_EQ(Strings({"2", ""}), jvm.texts(signWithoutData(env))) << "looked up again: no room";
}

// The key of the stack check is given back when the library is unloaded (the
// JVM unloads a library with its class loader): 10,000 load, call and unload
// cycles of a copy of the library leave as many keys free as before, and the
// check still refuses on a short stack.
TEST_F(BridgeTest, UnloadingTheLibraryGivesItsKeyBack) {
    const auto freeKeys = [] {
        std::vector<pthread_key_t> keys;
        for (pthread_key_t key; pthread_key_create(&key, nullptr) == 0;) keys.push_back(key);
        for (pthread_key_t key : keys) pthread_key_delete(key);
        return keys.size();
    };
    Dl_info info;
    ASSERT_TRUE(dladdr(reinterpret_cast<void*>(&Java_ka_tovik_selvo_jvarnel_JVarnel_Sign), &info));
    char copy[] = "/tmp/varnel-unload-XXXXXX";
    const int to = mkstemp(copy);
    const int from = open(info.dli_fname, O_RDONLY);
    ASSERT_TRUE(to >= 0 && from >= 0);
    char buffer[65536];
    for (ssize_t n; (n = read(from, buffer, sizeof buffer)) > 0;) ASSERT_EQ(n, write(to, buffer, n));
    close(from);
    close(to);
    using Sign = jobjectArray (*)(JNIEnv*, jclass, jlong, jbyteArray, jint);
    const auto load = [&](void*& module) {
        module = dlopen(copy, RTLD_NOW | RTLD_LOCAL);
        return module ? reinterpret_cast<Sign>(dlsym(module, "Java_ka_tovik_selvo_jvarnel_JVarnel_Sign"))
                      : nullptr;
    };
    const std::size_t before = freeKeys();
    for (int cycle = 0; cycle < 10000; ++cycle) {
        void* module = nullptr;
        Sign sign = load(module);
        ASSERT_TRUE(sign) << dlerror();
        ASSERT_EQ("10035", jvm.texts(sign(env, nullptr, 1, nullptr, 0)).at(0)) << "cycle " << cycle;
        ASSERT_EQ(0, dlclose(module));
    }
    EXPECT_EQ(before, freeKeys());

    void* module = nullptr;
    const Sign sign = load(module);
    ASSERT_TRUE(sign);
    jobjectArray answer = nullptr;
    runOnOwnStack(96 * 1024, [&] { answer = sign(env, nullptr, 1, nullptr, 0); });
    EXPECT_EQ(Strings({"2", ""}), jvm.texts(answer)) << "the check is still on";
    dlclose(module);
    unlink(copy);
}
#endif

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
