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
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

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

struct Outcome {
    Strings result;
    std::intptr_t onceDrift = 0;
    std::intptr_t loopDrift = 0;
};

struct MethodCase {
    const char* method;
    int stdcallBytes;                  // from the Java declaration, as the case types it
    Strings expected;                  // the status, then as many "*" as the array has further elements
    const char* driverFunction;        // the call the driver saw last; "" for none
    std::vector<CK_ULONG> driverSees;  // Java scalars as the driver saw them, in order
    // Calls once, then `times` times in a loop.
    std::function<Outcome(FakeJvm&, FARPROC, int times)> run;
};

constexpr int kLoopCalls = 1000;

// A case for `String|String[] Name(Params...)`; `arguments` makes the
// arguments after JNIEnv and class for one call.
template <typename Result, typename... Params>
struct Method {
    using Pointer = Result(JNICALL*)(JNIEnv*, jclass, Params...);

    static MethodCase make(const char* method, Strings expected, const char* driverFunction,
                           std::vector<CK_ULONG> driverSees, std::tuple<Params...> (*arguments)(FakeJvm&)) {
        return {method,
                stdcallBytes<Params...>(),
                std::move(expected),
                driverFunction,
                std::move(driverSees),
                [arguments](FakeJvm& jvm, FARPROC entry, int times) {
                    auto function = reinterpret_cast<Pointer>(reinterpret_cast<void*>(entry));
                    const std::tuple<Params...> values = arguments(jvm);
                    Outcome outcome;
                    auto result = std::apply(
                        [&](Params... args) {
                            return callOnce(function, outcome.onceDrift, jvm.env(), jclass{}, args...);
                        },
                        values);
                    if (outcome.onceDrift == 0) {
                        outcome.result = readBack(jvm, result);
                        for (size_t i = 1; i < outcome.result.size(); ++i) outcome.result[i] = "*";
                    }
                    outcome.loopDrift = std::apply(
                        [&](Params... args) {
                            return callRepeatedly(function, times, jvm.env(), jclass{}, args...);
                        },
                        values);
                    return outcome;
                }};
    }
};

// Distinct high and low halves: on Windows CK_ULONG is 32 bits wide, so only
// the low half may reach the driver, and on x86 a long that came in the
// wrong stack slots would show.
constexpr jlong kSession = (jlong{0x5A} << 32) | 0x1234;
constexpr jlong kObject = (jlong{0x66} << 32) | 0x4321;
constexpr jlong kOther = (jlong{0x77} << 32) | 0x5678;
constexpr CK_ULONG kS = 0x1234, kO = 0x4321, kP = 0x5678;

std::vector<MethodCase> cases() {
    return {
        Method<jstring, jstring>::make(
            "LoadDriver", {"0"}, "", {},
            [](FakeJvm& j) { return std::make_tuple(j.string(mock::modulePath())); }),
        Method<jstring>::make("Initialize", {"0"}, "C_Initialize", {0},
                              [](FakeJvm&) { return std::tuple<>(); }),
        Method<jstring>::make("Finalize", {"0"}, "C_Finalize", {0}, [](FakeJvm&) { return std::tuple<>(); }),
        Method<jobjectArray>::make("GetVersion", {"0", "*"}, "", {}, [](FakeJvm&) { return std::tuple<>(); }),
        Method<jobjectArray, jint>::make("GetSlotList", {"10031"}, "C_GetSlotList", {CK_TRUE},
                                         [](FakeJvm&) { return std::make_tuple(jint{1}); }),
        Method<jobjectArray, jint>::make(
            "GetTokenInfo",
            [] {
                Strings s(19, "*");
                s[0] = "0";
                return s;
            }(),
            "C_GetTokenInfo", {77}, [](FakeJvm&) { return std::make_tuple(jint{77}); }),
        Method<jobjectArray, jint, jint>::make("OpenSession", {"0", "*"}, "C_OpenSession", {78, 6},
                                               [](FakeJvm&) { return std::make_tuple(jint{78}, jint{6}); }),
        Method<jstring, jlong, jint, jstring>::make(
            "Login", {"0"}, "C_Login", {kS, 1, 4},
            [](FakeJvm& j) { return std::make_tuple(kSession, jint{1}, j.string("1234")); }),
        Method<jstring, jlong>::make("LogOut", {"0"}, "C_Logout", {kS},
                                     [](FakeJvm&) { return std::make_tuple(kSession); }),
        Method<jstring, jlong>::make("CloseSession", {"0"}, "C_CloseSession", {kS},
                                     [](FakeJvm&) { return std::make_tuple(kSession); }),
        Method<jstring, jlong, jstring, jint>::make(
            "FindObjectsInit", {"0"}, "C_FindObjectsInit", {kS},
            [](FakeJvm& j) { return std::make_tuple(kSession, j.string("key"), jint{1}); }),
        Method<jobjectArray, jlong>::make("FindObjects", {"10030"}, "C_FindObjects", {kS},
                                          [](FakeJvm&) { return std::make_tuple(kSession); }),
        Method<jstring, jlong>::make("FindObjectsFinal", {"0"}, "C_FindObjectsFinal", {kS},
                                     [](FakeJvm&) { return std::make_tuple(kSession); }),
        Method<jobjectArray, jlong, jlong, jstring>::make(
            "GetAttributeValue", {"0", "*"}, "C_GetAttributeValue", {kS, kO},
            [](FakeJvm& j) { return std::make_tuple(kSession, kObject, j.string("label")); }),
        Method<jstring, jlong, jlong, jlong, jstring>::make(
            "SetAttributeValue", {"0"}, "C_SetAttributeValue", {kS, kP},
            [](FakeJvm& j) { return std::make_tuple(kSession, kObject, kOther, j.string("new")); }),
        Method<jstring, jlong, jlong>::make("DestroyObject", {"0"}, "C_DestroyObject", {kS, kO},
                                            [](FakeJvm&) { return std::make_tuple(kSession, kObject); }),
        Method<jobjectArray, jlong, jstring, jint, jbyteArray, jint>::make(
            "GenerateKeyPair", {"0", "*", "*"}, "C_GenerateKeyPair", {kS},
            [](FakeJvm& j) {
                return std::make_tuple(kSession, j.string("key"), jint{2048}, j.byteArray({1, 0, 1}),
                                       jint{3});
            }),
        Method<jobjectArray, jlong, jint>::make("GenerateKey", {"0", "*"}, "C_GenerateKey", {kS},
                                                [](FakeJvm&) { return std::make_tuple(kSession, jint{0}); }),
        Method<jstring, jlong, jlong>::make("SignInit", {"0"}, "C_SignInit", {kS, kO},
                                            [](FakeJvm&) { return std::make_tuple(kSession, kObject); }),
        Method<jobjectArray, jlong, jbyteArray, jint>::make(
            "Sign", {"0", "*"}, "C_Sign", {kS, 3},
            [](FakeJvm& j) {
                return std::make_tuple(kSession, j.byteArray({1, 2, 3}), jint{3});
            }),
        Method<jstring, jlong, jlong, jstring>::make(
            "EncryptInit", {"0"}, "C_EncryptInit", {kS, kO},
            [](FakeJvm& j) { return std::make_tuple(kSession, kObject, j.string("rsapkcs")); }),
        Method<jobjectArray, jlong, jbyteArray, jint>::make(
            "Encrypt", {"0", "*"}, "C_Encrypt", {kS, 3},
            [](FakeJvm& j) {
                return std::make_tuple(kSession, j.byteArray({1, 2, 3}), jint{3});
            }),
        Method<jstring, jlong, jlong, jstring>::make(
            "DecryptInit", {"0"}, "C_DecryptInit", {kS, kO},
            [](FakeJvm& j) { return std::make_tuple(kSession, kObject, j.string("rsapkcsoaep")); }),
        Method<jobjectArray, jlong, jbyteArray, jint>::make(
            "Decrypt", {"0", "*"}, "C_Decrypt", {kS, 3},
            [](FakeJvm& j) {
                return std::make_tuple(kSession, j.byteArray({'Y', 'W', 'J', 'j'}), jint{4});
            }),
        Method<jobjectArray, jlong, jstring, jlong, jlong>::make(
            "WrapKey", {"0", "*"}, "C_WrapKey", {kS, kO, kP},
            [](FakeJvm& j) { return std::make_tuple(kSession, j.string("rsapkcs"), kObject, kOther); }),
        Method<jobjectArray, jlong, jstring, jlong, jstring>::make(
            "UnwrapKey", {"0", "*"}, "C_UnwrapKey", {kS, kO, 3},
            [](FakeJvm& j) {
                return std::make_tuple(kSession, j.string("YWJj"), kObject, j.string("rsapkcs"));
            }),
    };
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
    const auto all = cases();
    ASSERT_EQ(std::size(kExports), all.size()) << "one case for every listed method";

    for (const auto& row : kExports) {
        SCOPED_TRACE(row.method);
        const MethodCase* found = nullptr;
        for (const auto& c : all)
            if (std::string(c.method) == row.method) found = &c;
        ASSERT_NE(nullptr, found) << "no case";
        EXPECT_EQ(row.stdcallBytes, found->stdcallBytes)
            << "the list's byte count against the Java declaration";

        FARPROC entry = GetProcAddress(dll, jvmName(row, kDecorated).c_str());
        ASSERT_NE(nullptr, entry) << jvmName(row, kDecorated);
        EXPECT_EQ(nullptr, GetProcAddress(dll, jvmName(row, !kDecorated).c_str()))
            << "exported under its other name";

        mock_reset();
        FakeJvm jvm;
        const Outcome outcome = found->run(jvm, entry, kLoopCalls);
        EXPECT_EQ(0, outcome.onceDrift) << "stack pointer moved over one call";
        EXPECT_EQ(0, outcome.loopDrift) << "stack pointer moved over " << kLoopCalls << " calls";
        EXPECT_EQ(found->expected, outcome.result);
        const auto calls = mock::calls();
        if (*found->driverFunction == '\0') {
            EXPECT_TRUE(calls.empty());
        } else {
            ASSERT_FALSE(calls.empty());
            EXPECT_EQ(0u, calls.size() % (kLoopCalls + 1)) << "the same driver calls on every method call";
            EXPECT_EQ(found->driverFunction, calls.back().function);
            EXPECT_TRUE(inOrder(found->driverSees, calls.back().numbers))
                << ::testing::PrintToString(calls.back().numbers);
        }
        EXPECT_JNI_CLEAN(jvm);
    }
}

}  // namespace

#endif
