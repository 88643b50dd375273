// Fuzzes every native method but LoadDriver with fuzzed Java arguments, a
// fuzzed driver (any status, count, output length, handles written on
// failure) and JVM calls that fail. Whatever happens, each call must give
// back everything it took, keep the JNI rules, and answer a well-formed
// result (or null after a failed JVM call).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "entry_points.h"
#include "fake_jni.h"
#include "fuzz_bytes.h"
#include "method_table.h"
#include "mock_driver.h"
#include "varnel.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::vector<std::string> kTexts = {
    "rsapkcs",     "rsapkcsoaep",  "RSAPKCS",  "rsapkcs ",
    "rsapkc",      "rsapkcsoaep ", "",         "modulus",
    "label",       "exponent",     "encrypt",  "wrap",
    "certificate", "Modulus",      "labels",   "certificat",
    "1234",        "YWJj",         "YW\r\nJj", "YWI=",
    "YQ==YWJj",    "====",         "YW Jj",    "\xC3\xA9\xED\xA0\xBD\xED\xB4\x91"};

const std::vector<jint> kInts = {0,   1,    -1,   2,    3,     7,     99,        100,      245,
                                 256, 4096, 7497, 7500, 10000, 10001, INT32_MIN, INT32_MAX};

const std::vector<CK_ULONG> kCounts = {0,
                                       1,
                                       2,
                                       3,
                                       99,
                                       100,
                                       101,
                                       150,
                                       256,
                                       4096,
                                       4097,
                                       7497,
                                       7498,
                                       10000,
                                       10001,
                                       CK_ULONG{1} << 20,
                                       (CK_ULONG{1} << 20) + 1,
                                       0xFFFFFFFFUL,
                                       ~CK_ULONG{0}};

const std::vector<CK_RV> kReturns = {CKR_OK,
                                     CKR_OK,
                                     CKR_OK,
                                     CKR_BUFFER_TOO_SMALL,
                                     CKR_GENERAL_ERROR,
                                     CKR_VENDOR_DEFINED,
                                     0xFFFFFFFFUL,
                                     CKR_ATTRIBUTE_TYPE_INVALID};

// The driver functions a fuzzed answer may be scripted for: every entry point.
#define VARNEL_FUNCTION_NAME(name, code) "C_" #name,
const char* const kFunctions[] = {VARNEL_ENTRY_POINTS(VARNEL_FUNCTION_NAME)};
#undef VARNEL_FUNCTION_NAME

struct Call {
    FakeJvm& jvm;
    FuzzBytes& in;

    jint integer() { return in.pick(kInts); }
    jlong handle() { return in.flag() ? static_cast<jlong>(in.u64()) : in.byte(); }
    jstring string() {
        switch (in.byte() % 4) {
            case 0:
                return nullptr;
            case 1:
                return jvm.string(std::string(in.byte() * 50u, 'A'));  // long Base64-like text
            default:
                return jvm.string(kTexts[in.byte() % kTexts.size()]);
        }
    }
    jbyteArray array() {
        if (in.byte() % 5 == 0) return nullptr;
        if (in.flag()) return jvm.byteArray(Bytes(in.byte() * 50u, 'B'));
        return jvm.byteArray(in.bytes(300));
    }
};

using Method = std::function<jobject(JNIEnv*, Call&)>;

// A Java argument of type P drawn from the input.
template <typename P>
P draw(Call& c) {
    if constexpr (std::is_same_v<P, jint>)
        return c.integer();
    else if constexpr (std::is_same_v<P, jlong>)
        return c.handle();
    else if constexpr (std::is_same_v<P, jstring>)
        return c.string();
    else
        return c.array();
}

// `function` with its arguments drawn from the input, in Java order.
template <typename R, typename... P>
Method fuzzed(R(JNICALL* function)(JNIEnv*, jclass, P...)) {
    return [function](JNIEnv* e, Call& c) -> jobject {
        const std::tuple<P...> arguments{draw<P>(c)...};  // braces: drawn left to right
        return std::apply([&](P... a) { return static_cast<jobject>(function(e, nullptr, a...)); },
                          arguments);
    };
}

// Every method of the table but LoadDriver.
#define VARNEL_FUZZED(name) fuzzed(&Java_ka_tovik_selvo_jvarnel_JVarnel_##name),
const std::vector<Method> kMethods = [] {
    std::vector<Method> all = {VARNEL_JAVA_METHODS(VARNEL_FUZZED)};
    all.erase(all.begin() + methods::kLoadDriver);
    return all;
}();
#undef VARNEL_FUZZED

// The length a method's result array must have: 0 for a status string, -1
// for "1 to 101".
int resultLength(int method) {
    switch (method) {
        case methods::kGetSlotList:
        case methods::kFindObjects:
            return -1;
        case methods::kGetTokenInfo:
            return 19;
        case methods::kGenerateKeyPair:
            return 3;
        case methods::kGetVersion:
        case methods::kOpenSession:
        case methods::kGetAttributeValue:
        case methods::kGenerateKey:
        case methods::kSign:
        case methods::kEncrypt:
        case methods::kDecrypt:
        case methods::kWrapKey:
        case methods::kUnwrapKey:
            return 2;
        default:
            return 0;
    }
}

// Scripts up to three answers for driver functions drawn from the input.
void scriptDriver(FuzzBytes& in) {
    for (int answers = in.byte() % 4; answers > 0; --answers) {
        mock::answer answer(kFunctions[in.byte() % std::size(kFunctions)], in.pick(kReturns));
        if (in.flag()) answer.count(in.pick(kCounts));
        if (in.flag()) {
            std::vector<CK_ULONG> handles(in.byte() % 151);
            for (auto& handle : handles) handle = in.pick(kCounts);
            answer.handles(handles);
        }
        for (int values = in.byte() % 6; values > 0; --values) {
            Bytes value = in.flag() ? Bytes(in.byte() * 40u, 0xA5) : in.bytes(64);
            answer.value(value);
            if (in.flag()) answer.valueLength(in.pick(kCounts));
        }
    }
}

bool isStatusText(const std::string& text) {
    if (text.empty() || text.size() > 10) return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(std::isdigit(static_cast<unsigned char>(text[i])) || (i == 0 && text[i] == '-'))) return false;
    return true;
}

void check(bool condition) {
    if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool loaded = [] {
        FakeJvm jvm;
        return jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                   jvm.env(), nullptr, jvm.string(mock::modulePath()))) == "0";
    }();
    check(loaded);
    mock_reset();

    FuzzBytes in(data, size);
    FakeJvm jvm;
    const size_t drawn = in.byte() % kMethods.size();
    const Method& method = kMethods[drawn];
    const int arrayLength = resultLength(static_cast<int>(drawn) + 1);  // LoadDriver is left out
    const bool jvmFails = in.byte() % 8 == 0;
    if (jvmFails) {
        // The JNI functions that report failure by returning null.
        const FakeJvm::Function fallible[] = {FakeJvm::Function::FindClass, FakeJvm::Function::NewStringUTF,
                                              FakeJvm::Function::GetStringUTFChars,
                                              FakeJvm::Function::NewObjectArray,
                                              FakeJvm::Function::GetByteArrayElements};
        jvm.failCall(fallible[in.byte() % std::size(fallible)], 1 + in.byte() % 4);
    }
    scriptDriver(in);
    Call call{jvm, in};
    jobject result = method(jvm.env(), call);

    for (const auto& violation : jvm.violations())
        std::fprintf(stderr, "JNI misuse: %s\n", violation.c_str());
    check(jvm.outstanding() == 0);
    check(jvm.violations().empty());
    if (!result) {
        check(jvmFails);
        return 0;
    }
    if (arrayLength == 0) {
        check(isStatusText(jvm.text(result)));
        return 0;
    }
    auto texts = jvm.texts(static_cast<jobjectArray>(result));
    if (arrayLength > 0)
        check(texts.size() == static_cast<size_t>(arrayLength));
    else
        check(!texts.empty() && texts.size() <= 101);
    check(isStatusText(texts[0]));
    check(jvm.nullElements(static_cast<jobjectArray>(result)) == 0);
    return 0;
}
