// Threads calling every method at once. After one LoadDriver and Initialize
// the library holds nothing between calls but the entry-point table, so with
// a driver that allows it each thread must get exactly the answers its own
// arguments call for. The mock's echo mode derives every answer from the
// arguments (echo_answers.h); what the library must make of them is worked
// out here. Under ThreadSanitizer (make test's tsan build) this also shows the
// calls share no unguarded memory.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "echo_answers.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using mock::Bytes;

constexpr int kThreads = 4;
constexpr int kRounds = 300;
constexpr size_t kMismatchesKept = 20;

std::string decimal(CK_ULONG value) { return std::to_string(static_cast<unsigned long>(value)); }

std::string status(CK_RV rv) { return std::to_string(static_cast<int>(static_cast<std::uint32_t>(rv))); }

std::string base64(const Bytes& bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        const unsigned group =
            bytes[i] << 16 | (left > 1 ? bytes[i + 1] << 8 : 0) | (left > 2 ? bytes[i + 2] : 0);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += left > 1 ? kAlphabet[group >> 6 & 63] : '=';
        text += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

// What the library must make of the echo-mode driver's answers.
namespace expected {

Strings tokenInfo(CK_SLOT_ID slot) {
    const echo::TokenFields fields = echo::tokenFields(slot);
    Strings info{"0", fields.label, fields.manufacturer, fields.model, fields.serialNumber};
    for (CK_ULONG counter : fields.counters) info.push_back(decimal(counter));
    for (CK_VERSION version : {fields.hardwareVersion, fields.firmwareVersion})
        info.push_back(std::to_string(version.major) + "." + std::to_string(version.minor));
    info.push_back(fields.utcTime);
    info.push_back(decimal(echo::kTokenFlags));
    return info;
}

// GetAttributeValue's answer for each keyword.
Strings attribute(CK_OBJECT_HANDLE object, const std::string& keyword) {
    const struct {
        const char* keyword;
        CK_ATTRIBUTE_TYPE type;
        bool binary;
    } kKeywords[] = {
        {"modulus", CKA_MODULUS, true},  {"label", CKA_LABEL, false}, {"exponent", CKA_PUBLIC_EXPONENT, true},
        {"encrypt", CKA_ENCRYPT, false}, {"wrap", CKA_WRAP, false},   {"certificate", CKA_VALUE, true}};
    for (const auto& k : kKeywords) {
        if (keyword != k.keyword) continue;
        Bytes value;
        echo::attributeValue(object, k.type, value);
        // Text up to the first zero byte: a CK_BBOOL true reads "\x01".
        return {"0", k.binary ? base64(value)
                              : std::string(value.begin(), std::find(value.begin(), value.end(), 0))};
    }
    return {"10044", ""};
}

Strings foundObjects(CK_SESSION_HANDLE session) {
    Strings found{"0"};
    for (CK_OBJECT_HANDLE handle : echo::foundObjects(session)) found.push_back(decimal(handle));
    return found;
}

std::string operation(unsigned char tag, CK_SESSION_HANDLE session, const Bytes& input) {
    return base64(echo::singlePart(tag, session, input.data(), input.size()));
}

}  // namespace expected

// Bytes that differ with the thread and the round, of a length that varies.
Bytes inputFor(int thread, int round, int salt) {
    Bytes bytes;
    const int length = (thread * 37 + round * 11 + salt) % 200;
    for (int i = 0; i < length; ++i)
        bytes.push_back(static_cast<unsigned char>(thread * 59 + round * 3 + i * salt));
    return bytes;
}

// One thread's calls. Failures are collected, not asserted: the main thread
// reports them once every thread is done.
class Caller {
public:
    Caller(int index, std::atomic<int>& ready) : index_(index), ready_(ready) {}

    void run() {
        ready_.fetch_add(1);
        while (ready_.load() < kThreads) std::this_thread::yield();
        for (int round = 0; round < kRounds; ++round) {
            FakeJvm jvm;  // fresh each round, so its object list stays short
            callEveryMethod(jvm, round);
            check(jvm.outstanding() == 0, "acquired from the JVM, not released");
            check(jvm.violations().empty(), "JNI misuse: " + ::testing::PrintToString(jvm.violations()));
        }
    }

    int checks() const { return checks_; }
    int failures() const { return failures_; }
    const Strings& mismatches() const { return mismatches_; }

private:
    void check(bool ok, const std::string& what) {
        ++checks_;
        if (ok) return;
        ++failures_;
        if (mismatches_.size() < kMismatchesKept) mismatches_.push_back(what);
    }

    template <typename Value>
    void expect(const Value& want, const Value& got, const std::string& what) {
        check(want == got, "thread " + std::to_string(index_) + ", " + what + ": expected " +
                               ::testing::PrintToString(want) + ", got " + ::testing::PrintToString(got));
    }

    void callEveryMethod(FakeJvm& jvm, int round) {
        JNIEnv* env = jvm.env();
        auto text = [&](jstring result) { return jvm.text(result); };
        auto texts = [&](jobjectArray result) { return jvm.texts(result); };
        const std::string where = " (round " + std::to_string(round) + ")";

        expect(Strings{"0", VARNEL_VERSION_TEXT},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(env, nullptr)), "GetVersion" + where);
        const Strings slots{"0", "2", "7", "4294967295"};
        expect(slots, texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(env, nullptr, round % 2)),
               "GetSlotList" + where);

        // Each thread its own slot, and so its own session.
        const jint slot = 40 + index_ * 300 + round % 3;
        expect(expected::tokenInfo(static_cast<CK_ULONG>(slot)),
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(env, nullptr, slot)),
               "GetTokenInfo" + where);
        const CK_ULONG sessionHandle = echo::sessionOn(static_cast<CK_SLOT_ID>(slot));
        expect(Strings{"0", decimal(sessionHandle)},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, slot,
                                                                     CKF_SERIAL_SESSION | CKF_RW_SESSION)),
               "OpenSession" + where);
        expect(Strings{status(CKR_SESSION_PARALLEL_NOT_SUPPORTED), "0"},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, slot, CKF_RW_SESSION)),
               "OpenSession without CKF_SERIAL_SESSION" + where);
        const jlong session = static_cast<jlong>(sessionHandle);

        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, session, CKU_USER,
                                                              jvm.string("pin-" + std::to_string(round)))),
               "Login" + where);
        expect(
            status(CKR_PIN_LEN_RANGE),
            text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, session, CKU_USER, jvm.string(""))),
            "Login with an empty PIN" + where);
        expect(std::string("10034"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, session, CKU_USER, nullptr)),
               "Login with a null PIN" + where);

        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(
                   env, nullptr, session, jvm.string("key " + std::to_string(index_)), round % 3)),
               "FindObjectsInit" + where);
        expect(std::string("10036"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(env, nullptr, session, nullptr, 0)),
               "FindObjectsInit with a null label" + where);
        expect(expected::foundObjects(sessionHandle),
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjects(env, nullptr, session)),
               "FindObjects" + where);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsFinal(env, nullptr, session)),
               "FindObjectsFinal" + where);

        const CK_ULONG object = sessionHandle * 7 + static_cast<CK_ULONG>(round);
        for (const char* keyword :
             {"modulus", "label", "exponent", "encrypt", "wrap", "certificate", "Modulus"}) {
            expect(expected::attribute(object, keyword),
                   texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(
                       env, nullptr, session, static_cast<jlong>(object), jvm.string(keyword))),
                   std::string("GetAttributeValue ") + keyword + where);
        }
        expect(Strings{status(CKR_OBJECT_HANDLE_INVALID), ""},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(env, nullptr, session, 0,
                                                                           jvm.string("label"))),
               "GetAttributeValue of object 0" + where);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(
                   env, nullptr, session, static_cast<jlong>(object), static_cast<jlong>(object + 1),
                   jvm.string("renamed"))),
               "SetAttributeValue" + where);
        expect(status(CKR_OBJECT_HANDLE_INVALID),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(
                   env, nullptr, session, static_cast<jlong>(object), 0, jvm.string("renamed"))),
               "SetAttributeValue of object 0 second" + where);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_DestroyObject(env, nullptr, session,
                                                                      static_cast<jlong>(object))),
               "DestroyObject" + where);

        expect(Strings{"0", decimal(echo::publicKeyOf(sessionHandle)),
                       decimal(echo::privateKeyOf(sessionHandle))},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
                   env, nullptr, session, jvm.string("pair"), 2048, jvm.byteArray({1, 0, 1}), 3)),
               "GenerateKeyPair" + where);
        expect(Strings{status(CKR_KEY_SIZE_RANGE), "0", "0"},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
                   env, nullptr, session, jvm.string("pair"), 256, jvm.byteArray({1, 0, 1}), 3)),
               "GenerateKeyPair of 256 bits" + where);
        expect(Strings{"10045", "0", "0"},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
                   env, nullptr, session, jvm.string("pair"), 2048, jvm.byteArray({1, 0, 1}), 4)),
               "GenerateKeyPair with the exponent length past the array" + where);
        expect(Strings{"0", decimal(echo::secretKeyOf(sessionHandle))},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKey(env, nullptr, session, round)),
               "GenerateKey" + where);

        const jlong key = static_cast<jlong>(echo::privateKeyOf(sessionHandle));
        const Bytes data = inputFor(index_, round, 1);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_SignInit(env, nullptr, session, key)),
               "SignInit" + where);
        expect(Strings{"0", expected::operation(echo::kSignTag, sessionHandle, data)},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(env, nullptr, session, jvm.byteArray(data),
                                                              static_cast<jint>(data.size()))),
               "Sign" + where);
        expect(Strings{"10035", ""},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(env, nullptr, session, jvm.byteArray(data),
                                                              static_cast<jint>(data.size()) + 1)),
               "Sign with the length past the array" + where);

        const char* mechanism = round % 2 ? "rsapkcsoaep" : "rsapkcs";
        const Bytes plain = inputFor(index_, round, 2);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(env, nullptr, session, key,
                                                                    jvm.string(mechanism))),
               "EncryptInit" + where);
        expect(std::string("10064"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(env, nullptr, session, key,
                                                                    jvm.string("rsa"))),
               "EncryptInit with an unknown keyword" + where);
        expect(Strings{"0", expected::operation(echo::kEncryptTag, sessionHandle, plain)},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Encrypt(env, nullptr, session, jvm.byteArray(plain),
                                                                 static_cast<jint>(plain.size()))),
               "Encrypt" + where);

        const Bytes cipher = inputFor(index_, round, 3);
        const std::string cipherText = base64(cipher);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit(env, nullptr, session, key,
                                                                    jvm.string(mechanism))),
               "DecryptInit" + where);
        expect(Strings{"0", expected::operation(echo::kDecryptTag, sessionHandle, cipher)},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(env, nullptr, session,
                                                                 jvm.byteArray(mock::text(cipherText)),
                                                                 static_cast<jint>(cipherText.size()))),
               "Decrypt" + where);
        expect(Strings{"10063", ""},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(env, nullptr, session,
                                                                 jvm.byteArray(mock::text("AB*D")), 4)),
               "Decrypt of text that is not Base64" + where);

        const CK_ULONG wrappingKey = echo::publicKeyOf(sessionHandle);
        const CK_ULONG keyToWrap = echo::secretKeyOf(sessionHandle) + static_cast<CK_ULONG>(round);
        expect(Strings{"0", base64(echo::wrapped(sessionHandle, wrappingKey, keyToWrap))},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(env, nullptr, session, jvm.string("rsapkcs"),
                                                                 static_cast<jlong>(wrappingKey),
                                                                 static_cast<jlong>(keyToWrap))),
               "WrapKey" + where);
        const Bytes wrappedKey = inputFor(index_, round, 5);
        const Strings unwrapped =
            wrappedKey.empty()
                ? Strings{status(CKR_WRAPPED_KEY_LEN_RANGE), "0"}
                : Strings{"0",
                          decimal(echo::unwrappedKey(sessionHandle, wrappedKey.data(), wrappedKey.size()))};
        expect(unwrapped,
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(
                   env, nullptr, session, jvm.string(base64(wrappedKey)), static_cast<jlong>(wrappingKey),
                   jvm.string("rsapkcs"))),
               "UnwrapKey" + where);
        expect(Strings{"10062", "0"},
               texts(Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(
                   env, nullptr, session, nullptr, static_cast<jlong>(wrappingKey), jvm.string("rsapkcs"))),
               "UnwrapKey of a null key" + where);

        expect(std::string("0"), text(Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(env, nullptr, session)),
               "LogOut" + where);
        expect(status(CKR_SESSION_HANDLE_INVALID),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(env, nullptr, 0)),
               "LogOut of session 0" + where);
        expect(std::string("0"),
               text(Java_ka_tovik_selvo_jvarnel_JVarnel_CloseSession(env, nullptr, session)),
               "CloseSession" + where);
    }

    const int index_;
    std::atomic<int>& ready_;
    int checks_ = 0;
    int failures_ = 0;
    Strings mismatches_;
};

class ThreadsTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        loadMock();
        mock_echo(1);
        ASSERT_EQ("0", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(env, nullptr)));
    }
    void TearDown() override { mock_echo(0); }
};

TEST_F(ThreadsTest, EveryMethodAtOnceAnswersEachThreadItsOwn) {
    std::atomic<int> ready{0};
    std::vector<Caller> callers;
    for (int i = 0; i < kThreads; ++i) callers.emplace_back(i, ready);
    std::vector<std::thread> threads;
    for (auto& caller : callers) threads.emplace_back(&Caller::run, &caller);
    for (auto& thread : threads) thread.join();

    for (const auto& caller : callers) {
        EXPECT_EQ(0, caller.failures()) << ::testing::PrintToString(caller.mismatches());
        // Every round made every check: a thread that stopped early would
        // come up short here.
        EXPECT_EQ(callers.front().checks(), caller.checks());
        EXPECT_GT(caller.checks(), 40 * kRounds);
    }
    EXPECT_EQ(0u, mock_call_count()) << "echo mode logs nothing, so its log cannot grow";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(ThreadsTest, EchoModeOffGivesBackTheScriptedAnswers) {
    mock_echo(0);
    mock::answer("C_OpenSession", CKR_OK).handles({77});
    EXPECT_EQ((Strings{"0", "77"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, 5, 4)));
    EXPECT_EQ((Strings{"C_OpenSession"}), mock::functionsCalled());
    mock_echo(1);
    mock::answer("C_OpenSession", CKR_OK).handles({77});
    EXPECT_EQ((Strings{"0", "1005"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, 5, 4)))
        << "echo mode ignores the script";
    EXPECT_EQ(1u, mock_call_count());
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
