// Heap use of every native method: none, but for GetAttributeValue, which
// takes one block per attribute it reads and gives each back.
//
// This program defines malloc, calloc, realloc, free and the aligned
// allocators itself, forwarding to glibc's __libc_* functions; the library
// calls malloc through the dynamic linker, so it lands here. The counter runs
// only inside a method call and pauses while the fake JVM or the mock driver
// works (their function tables are wrapped for that), so what it sees is the
// library's own doing, including any libc or dynamic-linker call it makes.
// Each block is attributed to the library's code or to the C library by the
// caller's address.
//
// Sanitizer builds and valgrind replace the allocator themselves and Windows
// links another one: there the tests say SKIPPED.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "method_table.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VARNEL_HEAP_COUNTING 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VARNEL_HEAP_COUNTING 0
#endif
#endif
#if !defined(VARNEL_HEAP_COUNTING)
#if defined(__linux__) && defined(__GLIBC__)
#define VARNEL_HEAP_COUNTING 1
#else
#define VARNEL_HEAP_COUNTING 0
#endif
#endif

#if VARNEL_HEAP_COUNTING
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#ifndef RUNNING_ON_VALGRIND
#define RUNNING_ON_VALGRIND 0
#endif

#include "entry_points.h"

namespace heap {

constexpr size_t kCallersKept = 64;

// Plain globals: the counter must work before any constructor runs.
int depth = 0;   // > 0 inside a method call
int paused = 0;  // > 0 inside the fake JVM or the driver
size_t allocations = 0;
size_t frees = 0;
size_t failAt = 0;  // the counted allocation that fails as if memory ran out; 0 for none
void* callers[kCallersKept];

inline bool counting() { return depth > 0 && paused == 0; }
// Whether the allocation just counted is the one made to fail.
inline bool runsOut() { return counting() && allocations == failAt; }

inline void allocated(void* caller) {
    if (!counting()) return;
    if (allocations < kCallersKept) callers[allocations] = caller;
    ++allocations;
}

}  // namespace heap

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
    heap::allocated(__builtin_return_address(0));
    if (heap::runsOut()) return nullptr;
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    heap::allocated(__builtin_return_address(0));
    if (heap::runsOut()) return nullptr;
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    heap::allocated(__builtin_return_address(0));
    return __libc_realloc(block, size);
}

void free(void* block) {
    if (block && heap::counting()) ++heap::frees;
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
    heap::allocated(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    heap::allocated(__builtin_return_address(0));
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    heap::allocated(__builtin_return_address(0));
    void* block = __libc_memalign(alignment, size);
    if (!block) return ENOMEM;
    *out = block;
    return 0;
}
}  // extern "C"

namespace {

struct Pause {
    Pause() { ++heap::paused; }
    ~Pause() { --heap::paused; }
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
};

// ---- the fake JVM's table, each function run with the counter paused ----

const JNINativeInterface_* jvmTable = nullptr;

// The fake JVM's function in `slot`, run with the counter paused.
template <typename Function, Function JNINativeInterface_::*slot>
struct PausedJni;
template <typename R, typename... Args, R (JNICALL* JNINativeInterface_::*slot)(Args...)>
struct PausedJni<R(JNICALL*)(Args...), slot> {
    static R JNICALL call(Args... args) {
        Pause p;
        return (jvmTable->*slot)(args...);
    }
};

class PausedJvm {
public:
    explicit PausedJvm(JNIEnv* env) : env_(env), saved_(env->functions) {
        table_ = *saved_;
#define VARNEL_PAUSE(name) table_.name = PausedJni<decltype(table_.name), &JNINativeInterface_::name>::call;
        VARNEL_PAUSE(FindClass)
        VARNEL_PAUSE(NewStringUTF)
        VARNEL_PAUSE(GetStringUTFChars)
        VARNEL_PAUSE(ReleaseStringUTFChars)
        VARNEL_PAUSE(NewObjectArray)
        VARNEL_PAUSE(SetObjectArrayElement)
        VARNEL_PAUSE(GetByteArrayElements)
        VARNEL_PAUSE(ReleaseByteArrayElements)
        VARNEL_PAUSE(GetArrayLength)
        VARNEL_PAUSE(DeleteLocalRef)
#undef VARNEL_PAUSE
        jvmTable = saved_;
        env_->functions = &table_;
    }
    ~PausedJvm() { env_->functions = saved_; }
    PausedJvm(const PausedJvm&) = delete;
    PausedJvm& operator=(const PausedJvm&) = delete;

private:
    JNIEnv* env_;
    const JNINativeInterface_* saved_;
    JNINativeInterface_ table_{};
};

// ---- the entry-point table, each driver call run with the counter paused ----

template <typename Function>
struct DriverShim;

template <typename... Args>
struct DriverShim<CK_RV (*)(Args...)> {
    template <CK_RV (**kSlot)(Args...)>
    struct For {
        static inline CK_RV (*original)(Args...) = nullptr;
        static CK_RV call(Args... args) {
            Pause p;
            return original(args...);
        }
        static void install() {
            original = *kSlot;
            *kSlot = &call;
        }
        static void remove() { *kSlot = original; }
    };
};

// Installs the pausing shims over the loaded entry points while it lives.
// LoadDriver rewrites the table: it runs without them.
class PausedDriver {
public:
    PausedDriver() {
#define VARNEL_INSTALL(name, code) DriverShim<CK_C_##name>::For<&CP_##name>::install();
        VARNEL_ENTRY_POINTS(VARNEL_INSTALL)
#undef VARNEL_INSTALL
    }
    ~PausedDriver() {
#define VARNEL_REMOVE(name, code) DriverShim<CK_C_##name>::For<&CP_##name>::remove();
        VARNEL_ENTRY_POINTS(VARNEL_REMOVE)
#undef VARNEL_REMOVE
    }
    PausedDriver(const PausedDriver&) = delete;
    PausedDriver& operator=(const PausedDriver&) = delete;
};

// What one call took from the heap.
struct Use {
    size_t allocations = 0;
    size_t frees = 0;
    size_t fromLibrary = 0;  // allocations whose caller is the library's own code
};

bool inLibrary(void* address) {
    Dl_info library{};
    Dl_info caller{};
    return dladdr(reinterpret_cast<void*>(&Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion), &library) &&
           dladdr(address, &caller) && caller.dli_fbase == library.dli_fbase;
}

// Runs `call` with the counter on, the fake JVM and (unless it is LoadDriver)
// the driver paused.
template <typename Call>
Use measure(JNIEnv* env, bool driverShims, Call call) {
    PausedJvm jvm(env);
    heap::allocations = 0;
    heap::frees = 0;
    if (driverShims) {
        PausedDriver driver;
        ++heap::depth;
        call();
        --heap::depth;
    } else {
        ++heap::depth;
        call();
        --heap::depth;
    }
    Use use{heap::allocations, heap::frees, 0};
    for (size_t i = 0; i < use.allocations && i < heap::kCallersKept; ++i)
        if (inLibrary(heap::callers[i])) ++use.fromLibrary;
    return use;
}

using mock::answer;
using mock::Bytes;

class HeapUse : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        loadMock();
        mock::scriptSuccess();
        if (!counterLive())
            GTEST_SKIP() << "malloc is not interposed here (valgrind or another allocator replaced it)";
    }

    // Counting works here: a direct malloc inside the window is seen, and no
    // tool redirects the library's calls past this program's malloc
    // (valgrind does).
    bool counterLive() {
        if (RUNNING_ON_VALGRIND) return false;
        Use probe = measure(env, false, [] {
            void* volatile block = std::malloc(24);
            std::free(block);
        });
        return probe.allocations == 1 && probe.frees == 1;
    }
};

TEST_F(HeapUse, EveryMethodButGetAttributeValueUsesNone) {
    // Bound beforehand: the fake JVM's C++ side, which makes the arguments, is not paused.
    std::vector<methods::Bound> bound;
#define VARNEL_BIND(name)                                                           \
    bound.push_back(methods::bind(jvm, &Java_ka_tovik_selvo_jvarnel_JVarnel_##name, \
                                  methods::kMethods[methods::k##name].arguments));
    VARNEL_JAVA_METHODS(VARNEL_BIND)
#undef VARNEL_BIND
    for (int id = methods::kInitialize; id < methods::kCount; ++id) {
        const char* name = methods::kMethods[id].name;
        SCOPED_TRACE(name);
        // The library's own code takes one block per attribute it reads.
        const size_t expected = id == methods::kGetAttributeValue ? 5 : 0;
        // One call first, uncounted: the dynamic linker binds the library's
        // calls into the C library on first use.
        (void)bound[id].call();
        jobject result = nullptr;
        const Use use = measure(env, true, [&] { result = bound[id].call(); });
        ASSERT_NE(nullptr, result);
        ASSERT_EQ("0", methods::texts(jvm, bound[id], result).at(0))
            << "the method must take its success path";
        std::printf("heap: %-18s allocations %zu frees %zu library %zu\n", name, use.allocations, use.frees,
                    use.fromLibrary);
        EXPECT_EQ(expected, use.allocations);
        EXPECT_EQ(expected, use.frees) << "every block is given back within the call";
        EXPECT_EQ(use.allocations, use.fromLibrary) << "a C library call allocated on the library's behalf";
    }
    EXPECT_JNI_CLEAN(jvm);
}

// Memory that runs out at any of the five value buffers: the call answers
// CKR_HOST_MEMORY, reads nothing, and gives back the buffers it already had.
TEST_F(HeapUse, GetAttributeValueSurvivesMemoryRunningOut) {
    const jstring modulus = jvm.string("modulus");
    for (size_t failing = 1; failing <= 5; ++failing) {
        SCOPED_TRACE(failing);
        mock_reset();
        answer("C_GetAttributeValue", CKR_OK)
            .valueLength(256)
            .valueLength(4)
            .valueLength(3)
            .valueLength(1)
            .valueLength(1);
        jobject result = nullptr;
        heap::failAt = failing;
        const Use use = measure(env, true, [&] {
            result = Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(env, nullptr, 1, 2, modulus);
        });
        heap::failAt = 0;
        EXPECT_EQ((std::vector<std::string>{"2", ""}), jvm.texts(static_cast<jobjectArray>(result)));
        EXPECT_EQ(failing, use.allocations);
        EXPECT_EQ(failing - 1, use.frees) << "the buffers allocated before the failure are freed";
        EXPECT_EQ(1u, mock::calls().size()) << "no value read without its buffers";
    }
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(HeapUse, GetAttributeValueTakesOneBlockPerAttributeRead) {
    answer("C_GetAttributeValue", CKR_OK).value(Bytes(300, 0x5A)).sticky();
    jstring name = jvm.string("certificate");
    jobject result = nullptr;
    const Use use = measure(env, true, [&] {
        result = Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(env, nullptr, 1, 2, name);
    });
    ASSERT_EQ("0", jvm.texts(static_cast<jobjectArray>(result)).at(0));
    std::printf("heap: %-18s allocations %zu frees %zu library %zu\n", "GetAttributeValue(certificate)",
                use.allocations, use.frees, use.fromLibrary);
    EXPECT_EQ(1u, use.allocations) << "the certificate read alone";
    EXPECT_EQ(1u, use.frees);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(HeapUse, LoadDriverAllocatesOnlyInsideTheDynamicLinker) {
    // A driver already loaded: dlopen finds it and allocates nothing.
    jstring path = jvm.string(mock::modulePath());
    jobject result = nullptr;
    Use use = measure(env, false,
                      [&] { result = Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(env, nullptr, path); });
    ASSERT_EQ("0", jvm.text(result));
    std::printf("heap: %-18s allocations %zu frees %zu library %zu\n", "LoadDriver", use.allocations,
                use.frees, use.fromLibrary);
    EXPECT_EQ(0u, use.allocations);

    // A driver file never loaded before: the dynamic linker allocates its
    // bookkeeping (kept, as the module stays loaded); the library nothing.
    char fresh[] = "/tmp/varnel-heap-test-XXXXXX";
    const int fd = mkstemp(fresh);
    ASSERT_GE(fd, 0);
    FILE* from = std::fopen(mock::modulePath().c_str(), "rb");
    FILE* to = fdopen(fd, "wb");
    ASSERT_TRUE(from && to);
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, from)) > 0;)
        ASSERT_EQ(n, std::fwrite(buffer, 1, n, to));
    std::fclose(from);
    std::fclose(to);
    jstring freshPath = jvm.string(fresh);
    use = measure(env, false,
                  [&] { result = Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(env, nullptr, freshPath); });
    std::remove(fresh);
    ASSERT_EQ("0", jvm.text(result));
    std::printf("heap: %-18s allocations %zu frees %zu library %zu\n", "LoadDriver(new file)",
                use.allocations, use.frees, use.fromLibrary);
    EXPECT_EQ(0u, use.fromLibrary) << "the library's own code takes nothing; dlopen may";
    loadMock();  // the rest of the suite talks to the usual module
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace

#else  // !VARNEL_HEAP_COUNTING

TEST(HeapUse, NeedsGlibcWithoutSanitizers) {
    GTEST_SKIP() << "heap counting needs glibc's allocator, which this build replaces or lacks";
}

#endif
