// Checks that the benchmark's floor is what it claims to be: for every method,
// the floor's native method makes the same JNI calls as the library's, in the
// same order, with the same arguments (strings, array lengths, release modes)
// and gives the same answer. Both run on the unit suite's fake JVM, whose
// function table is wrapped here to log each call; the library talks to the
// mock module scripted as the benchmark scripts it.
//
// With the null driver (null_driver.c) named too, the library must also give
// the same answers through it as through the mock.
//
// Usage: floor_check <mock module> [<null driver>].
// Last line: "floor check: N passed, M failed".
#include <jni.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_jni.h"
#include "floor.h"
#include "varnel.h"

extern "C" {
// The floor library's mirrored methods (no header: they are JNI exports).
#define FLOOR_DECLARE(ret, name, ...) \
    JNIEXPORT ret JNICALL Java_ka_tovik_selvo_jvarnel_bench_Floor_##name(__VA_ARGS__);
FLOOR_DECLARE(jstring, LoadDriver, JNIEnv*, jclass, jstring)
FLOOR_DECLARE(jstring, Initialize, JNIEnv*, jclass)
FLOOR_DECLARE(jstring, Finalize, JNIEnv*, jclass)
FLOOR_DECLARE(jobjectArray, GetVersion, JNIEnv*, jclass)
FLOOR_DECLARE(jobjectArray, GetSlotList, JNIEnv*, jclass, jint)
FLOOR_DECLARE(jobjectArray, GetTokenInfo, JNIEnv*, jclass, jint)
FLOOR_DECLARE(jobjectArray, OpenSession, JNIEnv*, jclass, jint, jint)
FLOOR_DECLARE(jstring, Login, JNIEnv*, jclass, jlong, jint, jstring)
FLOOR_DECLARE(jstring, LogOut, JNIEnv*, jclass, jlong)
FLOOR_DECLARE(jstring, CloseSession, JNIEnv*, jclass, jlong)
FLOOR_DECLARE(jstring, FindObjectsInit, JNIEnv*, jclass, jlong, jstring, jint)
FLOOR_DECLARE(jobjectArray, FindObjects, JNIEnv*, jclass, jlong)
FLOOR_DECLARE(jstring, FindObjectsFinal, JNIEnv*, jclass, jlong)
FLOOR_DECLARE(jobjectArray, GetAttributeValue, JNIEnv*, jclass, jlong, jlong, jstring)
FLOOR_DECLARE(jstring, SetAttributeValue, JNIEnv*, jclass, jlong, jlong, jlong, jstring)
FLOOR_DECLARE(jstring, DestroyObject, JNIEnv*, jclass, jlong, jlong)
FLOOR_DECLARE(jobjectArray, GenerateKeyPair, JNIEnv*, jclass, jlong, jstring, jint, jbyteArray, jint)
FLOOR_DECLARE(jobjectArray, GenerateKey, JNIEnv*, jclass, jlong, jint)
FLOOR_DECLARE(jstring, SignInit, JNIEnv*, jclass, jlong, jlong)
FLOOR_DECLARE(jobjectArray, Sign, JNIEnv*, jclass, jlong, jbyteArray, jint)
FLOOR_DECLARE(jstring, EncryptInit, JNIEnv*, jclass, jlong, jlong, jstring)
FLOOR_DECLARE(jobjectArray, Encrypt, JNIEnv*, jclass, jlong, jbyteArray, jint)
FLOOR_DECLARE(jstring, DecryptInit, JNIEnv*, jclass, jlong, jlong, jstring)
FLOOR_DECLARE(jobjectArray, Decrypt, JNIEnv*, jclass, jlong, jbyteArray, jint)
FLOOR_DECLARE(jobjectArray, WrapKey, JNIEnv*, jclass, jlong, jstring, jlong, jlong)
FLOOR_DECLARE(jobjectArray, UnwrapKey, JNIEnv*, jclass, jlong, jstring, jlong, jstring)
#undef FLOOR_DECLARE
}

namespace {

// ---- a JNI function table that logs every call, then forwards it ----

std::vector<std::string> journal;
const JNINativeInterface_* forward = nullptr;

jclass JNICALL logFindClass(JNIEnv* env, const char* name) {
    journal.push_back(std::string("FindClass ") + name);
    return forward->FindClass(env, name);
}
jstring JNICALL logNewStringUtf(JNIEnv* env, const char* utf) {
    journal.push_back(std::string("NewStringUTF \"") + utf + "\"");
    return forward->NewStringUTF(env, utf);
}
const char* JNICALL logGetStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    journal.push_back("GetStringUTFChars");
    return forward->GetStringUTFChars(env, string, isCopy);
}
void JNICALL logReleaseStringUtfChars(JNIEnv* env, jstring string, const char* chars) {
    journal.push_back("ReleaseStringUTFChars");
    forward->ReleaseStringUTFChars(env, string, chars);
}
jobjectArray JNICALL logNewObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial) {
    journal.push_back("NewObjectArray " + std::to_string(length));
    return forward->NewObjectArray(env, length, elementClass, initial);
}
void JNICALL logSetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value) {
    journal.push_back("SetObjectArrayElement " + std::to_string(index));
    forward->SetObjectArrayElement(env, array, index, value);
}
jbyte* JNICALL logGetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy) {
    journal.push_back("GetByteArrayElements");
    return forward->GetByteArrayElements(env, array, isCopy);
}
void JNICALL logReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elements, jint mode) {
    journal.push_back("ReleaseByteArrayElements mode " + std::to_string(mode));
    forward->ReleaseByteArrayElements(env, array, elements, mode);
}
jsize JNICALL logGetArrayLength(JNIEnv* env, jarray array) {
    journal.push_back("GetArrayLength");
    return forward->GetArrayLength(env, array);
}

// Makes `fake` log its calls into `journal` while it lives.
class Logged {
public:
    explicit Logged(FakeJvm& fake) : env_(fake.env()), saved_(env_->functions) {
        table_ = *saved_;
        table_.FindClass = logFindClass;
        table_.NewStringUTF = logNewStringUtf;
        table_.GetStringUTFChars = logGetStringUtfChars;
        table_.ReleaseStringUTFChars = logReleaseStringUtfChars;
        table_.NewObjectArray = logNewObjectArray;
        table_.SetObjectArrayElement = logSetObjectArrayElement;
        table_.GetByteArrayElements = logGetByteArrayElements;
        table_.ReleaseByteArrayElements = logReleaseByteArrayElements;
        table_.GetArrayLength = logGetArrayLength;
        forward = saved_;
        env_->functions = &table_;
    }
    ~Logged() { env_->functions = saved_; }
    Logged(const Logged&) = delete;
    Logged& operator=(const Logged&) = delete;

private:
    JNIEnv* env_;
    const JNINativeInterface_* saved_;
    JNINativeInterface_ table_{};
};

// What one side did for one method: its JNI calls and its answer.
struct Run {
    std::vector<std::string> calls;
    std::vector<std::string> answer;
    size_t outstanding = 0;
    size_t violations = 0;
};

// The arguments the benchmark passes: a 32-byte input, 344 Base64 characters
// (256 bytes), a PIN, labels and mechanism keywords.
struct Arguments {
    std::vector<unsigned char> data32;
    std::vector<unsigned char> base64Text;
    std::vector<unsigned char> exponent{1, 0, 1};
};

std::vector<unsigned char> base64Of(size_t bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<unsigned char> text;
    unsigned int x = 12345;
    for (size_t i = 0; i < (bytes + 2) / 3 * 4; ++i) {
        x = x * 1103515245u + 12345u;
        text.push_back(static_cast<unsigned char>(alphabet[(x >> 16) & 63]));
    }
    return text;
}

// Calls method `m` of one side (library or floor) on `fake`.
template <bool kFloor>
jobject call(int m, FakeJvm& fake, const Arguments& a, const std::string& mockPath) {
    JNIEnv* env = fake.env();
#define SIDE(name) \
    (kFloor ? Java_ka_tovik_selvo_jvarnel_bench_Floor_##name : Java_ka_tovik_selvo_jvarnel_JVarnel_##name)
    switch (m) {
        case FLOOR_LOAD_DRIVER:
            return SIDE(LoadDriver)(env, nullptr, fake.string(mockPath));
        case FLOOR_INITIALIZE:
            return SIDE(Initialize)(env, nullptr);
        case FLOOR_FINALIZE:
            return SIDE(Finalize)(env, nullptr);
        case FLOOR_GET_VERSION:
            return SIDE(GetVersion)(env, nullptr);
        case FLOOR_GET_SLOT_LIST:
            return SIDE(GetSlotList)(env, nullptr, 1);
        case FLOOR_GET_TOKEN_INFO:
            return SIDE(GetTokenInfo)(env, nullptr, 683485629);
        case FLOOR_OPEN_SESSION:
            return SIDE(OpenSession)(env, nullptr, 683485629, 6);
        case FLOOR_LOGIN:
            return SIDE(Login)(env, nullptr, 1, 1, fake.string("1234"));
        case FLOOR_LOG_OUT:
            return SIDE(LogOut)(env, nullptr, 1);
        case FLOOR_CLOSE_SESSION:
            return SIDE(CloseSession)(env, nullptr, 1);
        case FLOOR_FIND_OBJECTS_INIT:
            return SIDE(FindObjectsInit)(env, nullptr, 1, fake.string("bench-rsa"), 0);
        case FLOOR_FIND_OBJECTS:
            return SIDE(FindObjects)(env, nullptr, 1);
        case FLOOR_FIND_OBJECTS_FINAL:
            return SIDE(FindObjectsFinal)(env, nullptr, 1);
        case FLOOR_GET_ATTRIBUTE_VALUE:
            return SIDE(GetAttributeValue)(env, nullptr, 1, 2, fake.string("modulus"));
        case FLOOR_SET_ATTRIBUTE_VALUE:
            return SIDE(SetAttributeValue)(env, nullptr, 1, 2, 3, fake.string("bench"));
        case FLOOR_DESTROY_OBJECT:
            return SIDE(DestroyObject)(env, nullptr, 1, 2);
        case FLOOR_GENERATE_KEY_PAIR:
            return SIDE(GenerateKeyPair)(env, nullptr, 1, fake.string("bench-rsa"), 2048,
                                         fake.byteArray(a.exponent), 3);
        case FLOOR_GENERATE_KEY:
            return SIDE(GenerateKey)(env, nullptr, 1, 0);
        case FLOOR_SIGN_INIT:
            return SIDE(SignInit)(env, nullptr, 1, 2);
        case FLOOR_SIGN:
            return SIDE(Sign)(env, nullptr, 1, fake.byteArray(a.data32), 32);
        case FLOOR_ENCRYPT_INIT:
            return SIDE(EncryptInit)(env, nullptr, 1, 2, fake.string("rsapkcs"));
        case FLOOR_ENCRYPT:
            return SIDE(Encrypt)(env, nullptr, 1, fake.byteArray(a.data32), 32);
        case FLOOR_DECRYPT_INIT:
            return SIDE(DecryptInit)(env, nullptr, 1, 2, fake.string("rsapkcs"));
        case FLOOR_DECRYPT:
            return SIDE(Decrypt)(env, nullptr, 1, fake.byteArray(a.base64Text),
                                 static_cast<jint>(a.base64Text.size()));
        case FLOOR_WRAP_KEY:
            return SIDE(WrapKey)(env, nullptr, 1, fake.string("rsapkcs"), 2, 4);
        case FLOOR_UNWRAP_KEY:
            return SIDE(UnwrapKey)(env, nullptr, 1,
                                   fake.string(std::string(a.base64Text.begin(), a.base64Text.end())), 2,
                                   fake.string("rsapkcs"));
    }
#undef SIDE
    return nullptr;
}

bool returnsArray(int m) {
    switch (m) {
        case FLOOR_GET_VERSION:
        case FLOOR_GET_SLOT_LIST:
        case FLOOR_GET_TOKEN_INFO:
        case FLOOR_OPEN_SESSION:
        case FLOOR_FIND_OBJECTS:
        case FLOOR_GET_ATTRIBUTE_VALUE:
        case FLOOR_GENERATE_KEY_PAIR:
        case FLOOR_GENERATE_KEY:
        case FLOOR_SIGN:
        case FLOOR_ENCRYPT:
        case FLOOR_DECRYPT:
        case FLOOR_WRAP_KEY:
        case FLOOR_UNWRAP_KEY:
            return true;
        default:
            return false;
    }
}

template <bool kFloor>
Run run(int m, const Arguments& a, const std::string& mockPath) {
    FakeJvm fake;
    Run result;
    jobject answer;
    {
        // Making the arguments goes through the fake's own C++ interface,
        // not its function table: only the method's JNI calls are logged.
        Logged logged(fake);
        journal.clear();
        answer = call<kFloor>(m, fake, a, mockPath);
    }
    result.calls = journal;
    if (returnsArray(m))
        result.answer = fake.texts(static_cast<jobjectArray>(answer));
    else
        result.answer = {fake.text(answer)};
    result.outstanding = fake.outstanding();
    result.violations = fake.violations().size();
    return result;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += "    " + line.substr(0, 120) + "\n";
    return text;
}

const char* const kNames[FLOOR_METHOD_COUNT] = {
    "LoadDriver",       "Initialize",        "Finalize",          "GetVersion",
    "GetSlotList",      "GetTokenInfo",      "OpenSession",       "Login",
    "LogOut",           "CloseSession",      "FindObjectsInit",   "FindObjects",
    "FindObjectsFinal", "GetAttributeValue", "SetAttributeValue", "DestroyObject",
    "GenerateKeyPair",  "GenerateKey",       "SignInit",          "Sign",
    "EncryptInit",      "Encrypt",           "DecryptInit",       "Decrypt",
    "WrapKey",          "UnwrapKey"};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <mock module> [<null driver>]\n", argv[0]);
        return 2;
    }
    const std::string mockPath = argv[1];
    std::vector<std::vector<std::string>> answers(FLOOR_METHOD_COUNT);
    Arguments a;
    for (int i = 0; i < 32; ++i) a.data32.push_back(static_cast<unsigned char>(i * 7 + 1));
    a.base64Text = base64Of(256);

    int passed = 0;
    int failed = 0;
    auto fail = [&](const char* name, const std::string& why) {
        std::printf("FAIL %s: %s\n", name, why.c_str());
        ++failed;
    };

    {
        FakeJvm loader;
        jstring status =
            Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(loader.env(), nullptr, loader.string(mockPath));
        if (loader.text(status) != "0") {
            std::printf("LoadDriver(%s) answered %s\nfloor check: 0 passed, 1 failed\n", mockPath.c_str(),
                        loader.text(status).c_str());
            return 1;
        }
    }
    const FloorMockConfig config = {4, 100};
    if (floor_mock_open(mockPath.c_str()) != 0 || floor_mock_configure(&config) != 0) {
        std::printf("cannot script the mock module\nfloor check: 0 passed, 1 failed\n");
        return 1;
    }

    for (int m = 0; m < FLOOR_METHOD_COUNT; ++m) {
        floor_mock_clear();
        Run library = run<false>(m, a, mockPath);
        std::vector<const char*> texts;
        for (const auto& text : library.answer) texts.push_back(text.c_str());
        floor_set_texts(m, texts.data(), static_cast<int>(texts.size()));
        Run floor = run<true>(m, a, mockPath);

        const char* name = kNames[m];
        if (library.answer.empty() || library.answer[0] != "0") {
            fail(name, "the library did not succeed: " + (library.answer.empty() ? "" : library.answer[0]));
            continue;
        }
        if (library.calls != floor.calls) {
            fail(name, "JNI calls differ\n  library:\n" + joined(library.calls) + "  floor:\n" +
                           joined(floor.calls));
            continue;
        }
        if (library.answer != floor.answer) {
            fail(name, "answers differ");
            continue;
        }
        if (library.outstanding || floor.outstanding || library.violations || floor.violations) {
            fail(name, "something acquired was not released, or the JNI contract was broken");
            continue;
        }
        std::printf("ok   %-18s %zu JNI calls, %zu strings\n", name, floor.calls.size(), floor.answer.size());
        answers[m] = library.answer;
        ++passed;
    }

    if (argc == 3) {
        const std::string nullPath = argv[2];
        for (int m = FLOOR_INITIALIZE; m < FLOOR_METHOD_COUNT; ++m) {
            {
                FakeJvm loader;
                if (loader.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                        loader.env(), nullptr, loader.string(nullPath))) != "0") {
                    fail("LoadDriver", "the null driver does not load");
                    break;
                }
            }
            Run throughNull = run<false>(m, a, nullPath);
            if (throughNull.answer != answers[m])
                fail(kNames[m], "the library answers differently through the null driver");
            else
                ++passed;
        }
    }
    std::printf("floor check: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
