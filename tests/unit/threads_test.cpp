// Threads calling every method at once against the mock's scripted answers.
// After one LoadDriver and Initialize the library holds nothing between
// calls but the entry-point table, so every call must answer what its script
// and its arguments call for. The answers are checked lightly; a buffer that
// two calls share is for ThreadSanitizer to report (make test's tsan build
// runs the tests named Threads*).
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using mock::answer;
using mock::Bytes;

constexpr int kThreads = 4;
constexpr int kRounds = 200;
constexpr size_t kMismatchesKept = 5;
constexpr jlong kSession = 1005;

std::string padded(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

// Sticky, so that every thread takes the same answer whatever the order.
void scriptEveryFunction() {
    answer("C_GetSlotList", CKR_OK).handles({2, 7, 4294967295UL}).sticky();
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    std::memset(info.label, ' ', sizeof info.label);
    std::memcpy(info.label, "threads", 7);
    info.flags = CKF_TOKEN_INITIALIZED;
    info.ulMaxPinLen = 8;
    info.firmwareVersion = {1, 10};
    const auto* record = reinterpret_cast<const unsigned char*>(&info);
    answer("C_GetTokenInfo", CKR_OK).value(Bytes(record, record + sizeof info)).sticky();
    answer("C_OpenSession", CKR_OK).handles({kSession}).sticky();
    answer("C_Logout", CKR_USER_NOT_LOGGED_IN).sticky();
    answer("C_DestroyObject", CKR_OBJECT_HANDLE_INVALID).sticky();
    answer("C_FindObjects", CKR_OK).handles({21, 22, 23}).sticky();
    answer("C_GetAttributeValue", CKR_OK)
        .value({1, 2, 3})
        .value(mock::text("key"))
        .value({1, 0, 1})
        .value({1})
        .value({0})
        .sticky();
    answer("C_GenerateKeyPair", CKR_OK).handles({11, 12}).sticky();
    answer("C_GenerateKey", CKR_OK).handles({13}).sticky();
    answer("C_Sign", CKR_OK).value(mock::text("signature")).sticky();
    answer("C_Encrypt", CKR_OK).value(mock::text("cipher")).sticky();
    answer("C_Decrypt", CKR_OK).value(mock::text("plain")).sticky();
    answer("C_WrapKey", CKR_OK).value(mock::text("wrapped")).sticky();
    answer("C_UnwrapKey", CKR_OK).handles({14}).sticky();
}

// One call and the answer it must give, whichever thread makes it.
struct Row {
    const char* what;
    Strings expected;
    std::function<Strings(FakeJvm&)> call;
};

// Every method but LoadDriver, Initialize and Finalize, each down its success
// path and some down the library's own refusals. Unscripted functions answer
// CKR_OK.
std::vector<Row> everyMethod() {
    const Strings tokenInfo{"0",    padded("threads", 32),
                            "",     "",
                            "",     "0",
                            "0",    "0",
                            "0",    "8",
                            "0",    "0",
                            "0",    "0",
                            "0",    "0.0",
                            "1.10", "",
                            "1024"};
    auto status = [](jstring (*method)(JNIEnv*, FakeJvm&)) {
        return [method](FakeJvm& jvm) { return Strings{jvm.text(method(jvm.env(), jvm))}; };
    };
    auto array = [](jobjectArray (*method)(JNIEnv*, FakeJvm&)) {
        return [method](FakeJvm& jvm) { return jvm.texts(method(jvm.env(), jvm)); };
    };
    using J = FakeJvm&;
    return {
        {"GetVersion", {"0", VARNEL_VERSION_TEXT}, array([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(e, nullptr);
         })},
        {"GetSlotList", {"0", "2", "7", "4294967295"}, array([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(e, nullptr, 1);
         })},
        {"GetTokenInfo", tokenInfo,
         array([](JNIEnv* e, J) { return Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(e, nullptr, 7); })},
        {"OpenSession", {"0", "1005"}, array([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(e, nullptr, 7, 6);
         })},
        {"Login", {"0"}, status([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Login(e, nullptr, kSession, CKU_USER,
                                                              j.string("1234"));
         })},
        {"Login with a null PIN", {"10034"}, status([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Login(e, nullptr, kSession, CKU_USER, nullptr);
         })},
        {"FindObjectsInit", {"0"}, status([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(e, nullptr, kSession, j.string("key"),
                                                                        1);
         })},
        {"FindObjects", {"0", "21", "22", "23"}, array([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjects(e, nullptr, kSession);
         })},
        {"FindObjectsFinal", {"0"}, status([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsFinal(e, nullptr, kSession);
         })},
        {"GetAttributeValue modulus", {"0", "AQID"}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(e, nullptr, kSession, 12,
                                                                          j.string("modulus"));
         })},
        {"GetAttributeValue label", {"0", "key"}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(e, nullptr, kSession, 12,
                                                                          j.string("label"));
         })},
        {"GetAttributeValue of an unknown keyword", {"10044", ""}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(e, nullptr, kSession, 12,
                                                                          j.string("Modulus"));
         })},
        {"SetAttributeValue", {"0"}, status([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(e, nullptr, kSession, 11, 12,
                                                                          j.string("renamed"));
         })},
        {"DestroyObject", {"130"}, status([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_DestroyObject(e, nullptr, kSession, 12);
         })},
        {"GenerateKeyPair", {"0", "11", "12"}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
                 e, nullptr, kSession, j.string("pair"), 2048, j.byteArray({1, 0, 1}), 3);
         })},
        {"GenerateKeyPair with the exponent length past the array",
         {"10045", "0", "0"},
         array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
                 e, nullptr, kSession, j.string("pair"), 2048, j.byteArray({1, 0, 1}), 4);
         })},
        {"GenerateKey", {"0", "13"}, array([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKey(e, nullptr, kSession, 16);
         })},
        {"SignInit", {"0"}, status([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_SignInit(e, nullptr, kSession, 12);
         })},
        {"Sign", {"0", "c2lnbmF0dXJl"}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(e, nullptr, kSession, j.byteArray(Bytes(51, 7)),
                                                             51);
         })},
        {"Sign with the length past the array", {"10035", ""}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(e, nullptr, kSession, j.byteArray({1, 2}), 3);
         })},
        {"EncryptInit", {"0"}, status([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(e, nullptr, kSession, 11,
                                                                    j.string("rsapkcsoaep"));
         })},
        {"EncryptInit with an unknown keyword", {"10064"}, status([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(e, nullptr, kSession, 11,
                                                                    j.string("rsa"));
         })},
        {"Encrypt", {"0", "Y2lwaGVy"}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Encrypt(e, nullptr, kSession,
                                                                j.byteArray(Bytes(90, 5)), 90);
         })},
        {"DecryptInit", {"0"}, status([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit(e, nullptr, kSession, 12,
                                                                    j.string("rsapkcs"));
         })},
        {"Decrypt", {"0", "cGxhaW4="}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(e, nullptr, kSession,
                                                                j.byteArray(mock::text("Y2lwaGVy")), 8);
         })},
        {"Decrypt of text that is not Base64", {"10063", ""}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(e, nullptr, kSession,
                                                                j.byteArray(mock::text("AB*D")), 4);
         })},
        {"WrapKey", {"0", "d3JhcHBlZA=="}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(e, nullptr, kSession, j.string("rsapkcs"), 11,
                                                                13);
         })},
        {"UnwrapKey", {"0", "14"}, array([](JNIEnv* e, J j) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(
                 e, nullptr, kSession, j.string("d3JhcHBlZA=="), 12, j.string("rsapkcs"));
         })},
        {"LogOut", {"257"}, status([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(e, nullptr, kSession);
         })},
        {"CloseSession", {"0"}, status([](JNIEnv* e, J) {
             return Java_ka_tovik_selvo_jvarnel_JVarnel_CloseSession(e, nullptr, kSession);
         })},
    };
}

// One thread's rounds, each through every row, starting at a row of its own
// so that the threads are in different methods at once. Mismatches are
// collected, not asserted: the main thread reports them once all are done.
struct Caller {
    int index;
    const std::vector<Row>* rows;
    int calls = 0;
    Strings mismatches;

    void run() {
        const size_t count = rows->size();
        for (int round = 0; round < kRounds; ++round) {
            FakeJvm jvm;  // fresh each round, so its object list stays short
            for (size_t k = 0; k < count; ++k) {
                const Row& row = (*rows)[(k + static_cast<size_t>(index) * count / kThreads) % count];
                const Strings got = row.call(jvm);
                ++calls;
                if (got != row.expected && mismatches.size() < kMismatchesKept)
                    mismatches.push_back(std::string(row.what) + ": " + ::testing::PrintToString(got));
            }
            if ((jvm.outstanding() != 0 || !jvm.violations().empty()) && mismatches.size() < kMismatchesKept)
                mismatches.push_back("JNI misuse or a leak: " + ::testing::PrintToString(jvm.violations()));
        }
    }
};

class ThreadsTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        loadMock();
        ASSERT_EQ("0", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(env, nullptr)));
        scriptEveryFunction();
    }
};

TEST_F(ThreadsTest, EveryMethodAtOnceGivesEachCallItsScriptedAnswer) {
    const std::vector<Row> rows = everyMethod();
    for (const Row& row : rows) EXPECT_EQ(row.expected, row.call(jvm)) << row.what << ", alone";

    std::vector<Caller> callers;
    for (int i = 0; i < kThreads; ++i) callers.push_back(Caller{i, &rows, 0, {}});
    std::vector<std::thread> threads;
    for (auto& caller : callers) threads.emplace_back(&Caller::run, &caller);
    for (auto& thread : threads) thread.join();

    for (const auto& caller : callers) {
        EXPECT_TRUE(caller.mismatches.empty())
            << "thread " << caller.index << ": " << ::testing::PrintToString(caller.mismatches);
        EXPECT_EQ(static_cast<int>(rows.size()) * kRounds, caller.calls);
    }
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
