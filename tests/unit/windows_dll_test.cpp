// The built Varnel.dll as a Windows JVM meets it: loaded with LoadLibraryA,
// every native method looked up by the exact name a JVM of this width asks
// for (_Name@N on x86, the plain name on x64), and called through a pointer
// of the type its Java declaration gives it. On x86 that pointer is
// __stdcall, so the method itself must remove exactly N bytes of arguments:
// the stack pointer is compared before and after each call and around a
// loop of 1,000 calls. The rest of the suite links the library's code
// statically and never calls the DLL's exports.
#if defined(_WIN32)

#include <windows.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "method_table.h"
#include "native_methods.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

// The stack pointer is saved to a global before a measured call, read
// after it, and set back to the saved value: the measuring function then
// returns normally even when a callee removed the wrong number of bytes,
// and the test reports the difference instead of crashing. Frame pointers
// keep that function's own locals where it left them meanwhile.
std::uintptr_t savedStackPointer;
#if defined(_WIN64)
#define SAVE_STACK_POINTER() asm volatile("mov %%rsp, %0" : "=m"(savedStackPointer) : : "memory")
#define READ_AND_RESTORE_STACK_POINTER(into) \
    asm volatile("mov %%rsp, %0\n\tmov %1, %%rsp" : "=&r"(into) : "m"(savedStackPointer) : "memory")
#else
#define SAVE_STACK_POINTER() asm volatile("movl %%esp, %0" : "=m"(savedStackPointer) : : "memory")
#define READ_AND_RESTORE_STACK_POINTER(into) \
    asm volatile("movl %%esp, %0\n\tmovl %1, %%esp" : "=&r"(into) : "m"(savedStackPointer) : "memory")
#endif
#define MEASURING __attribute__((noinline, optimize("no-omit-frame-pointer")))

// The stack pointer's change over one call; 0 when the callee removed what
// its type says. The result is worth reading only then.
template <typename Pointer, typename... Args>
MEASURING auto callOnce(Pointer function, std::intptr_t& drift, Args... args) {
    std::uintptr_t after;
    SAVE_STACK_POINTER();
    auto result = function(args...);
    READ_AND_RESTORE_STACK_POINTER(after);
    drift = static_cast<std::intptr_t>(after - savedStackPointer);
    return result;
}

// The change over `times` calls: a few bytes a call add up.
template <typename Pointer, typename... Args>
MEASURING std::intptr_t callRepeatedly(Pointer function, int times, Args... args) {
    std::uintptr_t after;
    SAVE_STACK_POINTER();
    for (int i = 0; i < times; ++i) function(args...);
    READ_AND_RESTORE_STACK_POINTER(after);
    return static_cast<std::intptr_t>(after - savedStackPointer);
}

// Argument bytes of a native method on 32-bit Windows, the N of _Name@N:
// 8 for a Java long, 4 for anything else, JNIEnv and class included. The
// same on x64, where it names nothing but is still what the list says.
template <typename... Params>
constexpr int stdcallBytes() {
    return 8 + (0 + ... + (std::is_same_v<Params, jlong> ? 8 : 4));
}

Strings readBack(FakeJvm& jvm, jstring result) { return {jvm.text(result)}; }
Strings readBack(FakeJvm& jvm, jobjectArray result) { return jvm.texts(result); }

constexpr int kLoopCalls = 1000;

// The table's argument `index` as a Java value; a long is given distinct
// high and low halves: on Windows CK_ULONG is 32 bits wide, so only the low
// half may reach the driver, and on x86 a long that came in the wrong stack
// slots would show.
template <typename P>
P argument(FakeJvm& jvm, const std::string& text, size_t index) {
    P value = methods::detail::javaValue<P>(jvm, text, index);
    if constexpr (std::is_same_v<P, jlong>)
        value += (jlong{0x5A5A} + jlong(index)) << 32 | 0x1000 * jlong(index + 1);
    return value;
}

template <typename P>
void noteLong(std::vector<CK_ULONG>& longs, P value) {
    if constexpr (std::is_same_v<P, jlong>) longs.push_back(static_cast<CK_ULONG>(value));
}

struct Outcome {
    int stdcallBytes = 0;  // from the Java declaration, as the library types it
    Strings result;
    std::intptr_t onceDrift = 0;
    std::intptr_t loopDrift = 0;
    std::vector<CK_ULONG> longs;  // the low halves of the Java longs, in order
};

// Calls `entry`, typed as the library's `Name`, once with the table's
// arguments, then kLoopCalls times in a loop.
template <typename R, typename... P, size_t... I>
Outcome run(FakeJvm& jvm, FARPROC entry, R(JNICALL*)(JNIEnv*, jclass, P...), const Strings& arguments,
            std::index_sequence<I...>) {
    const auto function =
        reinterpret_cast<R(JNICALL*)(JNIEnv*, jclass, P...)>(reinterpret_cast<void*>(entry));
    const std::tuple<P...> values{argument<P>(jvm, arguments.at(I), I)...};
    Outcome outcome;
    outcome.stdcallBytes = stdcallBytes<P...>();
    (noteLong(outcome.longs, std::get<I>(values)), ...);
    R result = callOnce(function, outcome.onceDrift, jvm.env(), jclass{}, std::get<I>(values)...);
    if (outcome.onceDrift == 0) outcome.result = readBack(jvm, result);
    outcome.loopDrift = callRepeatedly(function, kLoopCalls, jvm.env(), jclass{}, std::get<I>(values)...);
    return outcome;
}

template <typename R, typename... P>
Outcome run(FakeJvm& jvm, FARPROC entry, R(JNICALL* library)(JNIEnv*, jclass, P...),
            const Strings& arguments) {
    return run(jvm, entry, library, arguments, std::index_sequence_for<P...>());
}

// Calls the export of kMethods[method], typed as the library's function.
Outcome runMethod(FakeJvm& jvm, FARPROC entry, int method) {
    Strings arguments = methods::kMethods[method].arguments;
    if (method == methods::kLoadDriver) arguments[0] = mock::modulePath();
    switch (method) {
#define VARNEL_RUN(name)   \
    case methods::k##name: \
        return run(jvm, entry, &Java_ka_tovik_selvo_jvarnel_JVarnel_##name, arguments);
        VARNEL_JAVA_METHODS(VARNEL_RUN)
#undef VARNEL_RUN
    }
    return {};
}

struct ExportRow {
    const char* method;
    int stdcallBytes;
};
#define VARNEL_EXPORT_ROW(method, bytes) {#method, bytes},
const ExportRow kExports[] = {VARNEL_NATIVE_METHODS(VARNEL_EXPORT_ROW)};
#undef VARNEL_EXPORT_ROW

// The name a JVM of this width looks up, and the one of the other width,
// which must not be there.
std::string jvmName(const ExportRow& row, bool decorated) {
    const std::string plain = std::string("Java_ka_tovik_selvo_jvarnel_JVarnel_") + row.method;
    return decorated ? "_" + plain + "@" + std::to_string(row.stdcallBytes) : plain;
}
#if defined(_WIN64)
constexpr bool kDecorated = false;
#else
constexpr bool kDecorated = true;
#endif

// Whether `expected` appears in `numbers` in order, others between.
bool inOrder(const std::vector<CK_ULONG>& expected, const std::vector<CK_ULONG>& numbers) {
    size_t next = 0;
    for (CK_ULONG number : numbers)
        if (next < expected.size() && number == expected[next]) ++next;
    return next == expected.size();
}

TEST(WindowsDll, EveryExportCalledAsAJvmCallsItKeepsTheStackBalanced) {
    HMODULE dll = LoadLibraryA(VARNEL_DLL_PATH);
    ASSERT_NE(nullptr, dll) << VARNEL_DLL_PATH << ": error " << GetLastError();
    ASSERT_EQ(std::size(kExports), std::size(methods::kMethods)) << "one row for every listed method";

    for (const auto& row : kExports) {
        SCOPED_TRACE(row.method);
        int method = 0;
        while (method < methods::kCount && std::string(methods::kMethods[method].name) != row.method)
            ++method;
        ASSERT_LT(method, methods::kCount) << "not in the method table";

        FARPROC entry = GetProcAddress(dll, jvmName(row, kDecorated).c_str());
        ASSERT_NE(nullptr, entry) << jvmName(row, kDecorated);
        EXPECT_EQ(nullptr, GetProcAddress(dll, jvmName(row, !kDecorated).c_str()))
            << "exported under its other name";

        mock_reset();
        mock::scriptSuccess();
        FakeJvm jvm;
        const Outcome outcome = runMethod(jvm, entry, method);
        EXPECT_EQ(row.stdcallBytes, outcome.stdcallBytes)
            << "the list's byte count against the Java declaration";
        EXPECT_EQ(0, outcome.onceDrift) << "stack pointer moved over one call";
        EXPECT_EQ(0, outcome.loopDrift) << "stack pointer moved over " << kLoopCalls << " calls";
        ASSERT_FALSE(outcome.result.empty());
        EXPECT_EQ("0", outcome.result[0]) << "the success path";
        // The driver calls of the first method call see every long's low half, in order.
        const auto calls = mock::calls();
        EXPECT_EQ(0u, calls.size() % (kLoopCalls + 1)) << "the same driver calls on every method call";
        std::vector<CK_ULONG> numbers;
        for (size_t i = 0; i < calls.size() / (kLoopCalls + 1); ++i)
            numbers.insert(numbers.end(), calls[i].numbers.begin(), calls[i].numbers.end());
        EXPECT_TRUE(inOrder(outcome.longs, numbers)) << ::testing::PrintToString(numbers);
        EXPECT_JNI_CLEAN(jvm);
    }
}

}  // namespace

#endif
