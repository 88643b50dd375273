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
#include <vector>

#include "entry_points.h"
#include "fake_jni.h"
#include "fuzz_bytes.h"
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

#define VARNEL_METHOD(name) Java_ka_tovik_selvo_jvarnel_JVarnel_##name
// Each method with its arguments drawn from the input, in Java order, and
// the length its result array must have (0 for a status string, -1 for
// "1 to 101").
const struct {
    Method call;
    int arrayLength;
} kMethods[] = {
    {[](JNIEnv* e, Call&) { return VARNEL_METHOD(Initialize)(e, nullptr); }, 0},
    {[](JNIEnv* e, Call&) { return VARNEL_METHOD(Finalize)(e, nullptr); }, 0},
    {[](JNIEnv* e, Call&) { return VARNEL_METHOD(GetVersion)(e, nullptr); }, 2},
    {[](JNIEnv* e, Call& c) { return VARNEL_METHOD(GetSlotList)(e, nullptr, c.integer()); }, -1},
    {[](JNIEnv* e, Call& c) { return VARNEL_METHOD(GetTokenInfo)(e, nullptr, c.integer()); }, 19},
    {[](JNIEnv* e, Call& c) {
         jint slot = c.integer();
         return VARNEL_METHOD(OpenSession)(e, nullptr, slot, c.integer());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jint user = c.integer();
         return VARNEL_METHOD(Login)(e, nullptr, session, user, c.string());
     },
     0},
    {[](JNIEnv* e, Call& c) { return VARNEL_METHOD(LogOut)(e, nullptr, c.handle()); }, 0},
    {[](JNIEnv* e, Call& c) { return VARNEL_METHOD(CloseSession)(e, nullptr, c.handle()); }, 0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jstring label = c.string();
         return VARNEL_METHOD(FindObjectsInit)(e, nullptr, session, label, c.integer());
     },
     0},
    {[](JNIEnv* e, Call& c) { return VARNEL_METHOD(FindObjects)(e, nullptr, c.handle()); }, -1},
    {[](JNIEnv* e, Call& c) { return VARNEL_METHOD(FindObjectsFinal)(e, nullptr, c.handle()); }, 0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jlong object = c.handle();
         return VARNEL_METHOD(GetAttributeValue)(e, nullptr, session, object, c.string());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jlong first = c.handle();
         jlong second = c.handle();
         return VARNEL_METHOD(SetAttributeValue)(e, nullptr, session, first, second, c.string());
     },
     0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         return VARNEL_METHOD(DestroyObject)(e, nullptr, session, c.handle());
     },
     0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jstring label = c.string();
         jint bits = c.integer();
         jbyteArray exponent = c.array();
         return VARNEL_METHOD(GenerateKeyPair)(e, nullptr, session, label, bits, exponent, c.integer());
     },
     3},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         return VARNEL_METHOD(GenerateKey)(e, nullptr, session, c.integer());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         return VARNEL_METHOD(SignInit)(e, nullptr, session, c.handle());
     },
     0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jbyteArray data = c.array();
         return VARNEL_METHOD(Sign)(e, nullptr, session, data, c.integer());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jlong key = c.handle();
         return VARNEL_METHOD(EncryptInit)(e, nullptr, session, key, c.string());
     },
     0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jbyteArray data = c.array();
         return VARNEL_METHOD(Encrypt)(e, nullptr, session, data, c.integer());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jlong key = c.handle();
         return VARNEL_METHOD(DecryptInit)(e, nullptr, session, key, c.string());
     },
     0},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jbyteArray data = c.array();
         return VARNEL_METHOD(Decrypt)(e, nullptr, session, data, c.integer());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jstring name = c.string();
         jlong wrapping = c.handle();
         return VARNEL_METHOD(WrapKey)(e, nullptr, session, name, wrapping, c.handle());
     },
     2},
    {[](JNIEnv* e, Call& c) {
         jlong session = c.handle();
         jstring text = c.string();
         jlong unwrapping = c.handle();
         return VARNEL_METHOD(UnwrapKey)(e, nullptr, session, text, unwrapping, c.string());
     },
     2},
};
#undef VARNEL_METHOD

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
    const auto& method = kMethods[in.byte() % std::size(kMethods)];
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
    jobject result = method.call(jvm.env(), call);

    for (const auto& violation : jvm.violations())
        std::fprintf(stderr, "JNI misuse: %s\n", violation.c_str());
    check(jvm.outstanding() == 0);
    check(jvm.violations().empty());
    if (!result) {
        check(jvmFails);
        return 0;
    }
    if (method.arrayLength == 0) {
        check(isStatusText(jvm.text(result)));
        return 0;
    }
    auto texts = jvm.texts(static_cast<jobjectArray>(result));
    if (method.arrayLength > 0)
        check(texts.size() == static_cast<size_t>(method.arrayLength));
    else
        check(!texts.empty() && texts.size() <= 101);
    check(isStatusText(texts[0]));
    check(jvm.nullElements(static_cast<jobjectArray>(result)) == 0);
    return 0;
}
