// FindObjectsInit, FindObjects, FindObjectsFinal, SignInit and Sign.
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using mock::answer;
using mock::Bytes;

class ObjectsTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    std::string findInit(jstring label, jint kind) {
        return jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(env, nullptr, 11, label, kind));
    }
    Strings find() { return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjects(env, nullptr, 11)); }
};

TEST_F(ObjectsTest, EachSearchKindSendsItsTemplate) {
    const Bytes yes{CK_TRUE};
    EXPECT_EQ("0", findInit(jvm.string("signing key"), 0));
    EXPECT_EQ("0", findInit(jvm.string("signing key"), 1));
    EXPECT_EQ("0", findInit(jvm.string("ignored"), 2));
    EXPECT_EQ("0", findInit(nullptr, 2));
    EXPECT_EQ("0", findInit(jvm.string(""), 0));
    auto calls = mock::calls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ(mock::templateBlob({{CKA_LABEL, mock::text("signing key")}}), calls[0].blobs[0]);
    EXPECT_EQ(
        mock::templateBlob({{CKA_TOKEN, yes}, {CKA_PRIVATE, yes}, {CKA_LABEL, mock::text("signing key")}}),
        calls[1].blobs[0]);
    const Bytes certificates = mock::templateBlob({{CKA_CLASS, mock::ulongBytes(CKO_CERTIFICATE)}});
    EXPECT_EQ(certificates, calls[2].blobs[0]);
    EXPECT_EQ(certificates, calls[3].blobs[0]);
    EXPECT_EQ(mock::templateBlob({{CKA_LABEL, {}}}), calls[4].blobs[0]) << "an empty label has length 0";
    EXPECT_EQ((std::vector<CK_ULONG>{11, 3}), calls[1].numbers);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(ObjectsTest, ArgumentChecksComeInTheirOrder) {
    EXPECT_EQ("10036", findInit(nullptr, 0));
    EXPECT_EQ("10036", findInit(nullptr, 1));
    EXPECT_EQ("10050", findInit(nullptr, 7));
    EXPECT_EQ("10050", findInit(jvm.string("label"), -1));
    EXPECT_EQ(1, jvm.calls(FakeJvm::Function::GetStringUTFChars)) << "a given label is fetched for any kind";
    EXPECT_TRUE(mock::calls().empty());
    answer("C_FindObjectsInit", CKR_OPERATION_ACTIVE);
    EXPECT_EQ("144", findInit(jvm.string("label"), 0));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(ObjectsTest, LabelThatCannotBeFetchedGivesNull) {
    FakeJvm failing;
    jstring label = failing.string("label");
    failing.failCall(FakeJvm::Function::GetStringUTFChars);
    EXPECT_EQ(nullptr,
              Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(failing.env(), nullptr, 1, label, 2));
    EXPECT_TRUE(mock::calls().empty());
    EXPECT_JNI_CLEAN(failing);
}

TEST_F(ObjectsTest, FindObjectsListsHandlesUpToTheHundredItAskedFor) {
    answer("C_FindObjects", CKR_OK).handles({5, 0xFFFFFFFFUL});
    EXPECT_EQ((Strings{"0", "5", "4294967295"}), find());
    EXPECT_EQ((std::vector<CK_ULONG>{11, 1, 100, 1}), mock::calls()[0].numbers);

    std::vector<CK_ULONG> many;
    for (CK_ULONG i = 1; i <= 150; ++i) many.push_back(i);
    answer("C_FindObjects", CKR_OK).handles(many);  // reports 150, writes the 100 allowed
    const int refsBefore = jvm.localRefs();
    Strings first = find();
    EXPECT_LE(jvm.localRefs() - refsBefore, 16) << "local references left by a String[] of 101";
    ASSERT_EQ(101u, first.size());
    EXPECT_EQ("0", first[0]);
    EXPECT_EQ("100", first[100]);

    for (CK_ULONG count : {CK_ULONG{0xFFFFFFFFUL}, ~CK_ULONG{0}}) {
        answer("C_FindObjects", CKR_OK).count(count);
        EXPECT_EQ(101u, find().size());
    }
    answer("C_FindObjects", CKR_OK);
    EXPECT_EQ((Strings{"10030"}), find());
    answer("C_FindObjects", CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ((Strings{"179"}), find());
    answer("C_FindObjects", CKR_GENERAL_ERROR).handles({9});
    EXPECT_EQ((Strings{"5", "9"}), find()) << "a count the failing driver wrote is shown";
    answer("C_FindObjectsFinal", CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ("145", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsFinal(env, nullptr, 11)));
    EXPECT_JNI_CLEAN(jvm);
}

class SignTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    Strings sign(jbyteArray data, jint length, jlong session = 3) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(env, nullptr, session, data, length));
    }
};

TEST_F(SignTest, SignInitStartsRsaPkcsWithTheKey) {
    const jlong key = (jlong{1} << 32) | 5;
    answer("C_SignInit", CKR_KEY_HANDLE_INVALID);
    EXPECT_EQ("96", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_SignInit(env, nullptr, 2, key)));
    auto call = mock::calls().at(0);
    EXPECT_EQ(mock::mechanismBlob(CKM_RSA_PKCS), call.blobs[0]);
    EXPECT_EQ((std::vector<CK_ULONG>{2, sizeof(CK_ULONG) == 8 ? static_cast<CK_ULONG>(key) : 5}),
              call.numbers);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SignTest, SignatureComesBackAsBase64OfWhatTheDriverWrote) {
    Bytes signature(256, 0xAB);
    answer("C_Sign", CKR_OK).value(signature);
    Strings result = sign(jvm.byteArray({1, 2, 3, 4, 5}), 3);
    ASSERT_EQ(2u, result.size());
    EXPECT_EQ("0", result[0]);
    ASSERT_EQ(344u, result[1].size());
    EXPECT_EQ("q6ur", result[1].substr(0, 4));
    EXPECT_EQ("qw==", result[1].substr(340));
    auto call = mock::calls().at(0);
    EXPECT_EQ((std::vector<CK_ULONG>{3, 3, 1, 4096}), call.numbers) << "3 bytes, room 4096";
    EXPECT_EQ(mock::inputBlob({1, 2, 3}), call.blobs[0]);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SignTest, BadDataNeverReachesTheDriver) {
    EXPECT_EQ((Strings{"10035", ""}), sign(nullptr, 0));
    EXPECT_EQ(0, jvm.calls(FakeJvm::Function::GetByteArrayElements));
    EXPECT_EQ((Strings{"10035", ""}), sign(jvm.byteArray({1, 2}), 3));
    EXPECT_EQ((Strings{"10035", ""}), sign(jvm.byteArray({1, 2}), -1));
    EXPECT_EQ(0, jvm.calls(FakeJvm::Function::GetByteArrayElements));
    EXPECT_TRUE(mock::calls().empty());
    answer("C_Sign", CKR_OK).value({7});
    EXPECT_EQ((Strings{"0", "Bw=="}), sign(jvm.byteArray({}), 0)) << "zero bytes of an empty array";
    answer("C_Sign", CKR_OK).value({7});
    EXPECT_EQ((Strings{"0", "Bw=="}), sign(jvm.byteArray(Bytes(20000, 1)), 20000))
        << "no limit but the array";
    EXPECT_EQ(20000u, mock::calls().back().numbers.at(1));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SignTest, DriverFailureAndOversizedSignaturesGiveNoText) {
    answer("C_Sign", CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ((Strings{"336", ""}), sign(jvm.byteArray({1}), 1));
    answer("C_Sign", CKR_OPERATION_NOT_INITIALIZED).value({1, 2, 3});
    EXPECT_EQ((Strings{"145", ""}), sign(jvm.byteArray({1}), 1));
    answer("C_Sign", CKR_OK).value(Bytes(4096, 1));
    EXPECT_EQ(5464u, sign(jvm.byteArray({1}), 1)[1].size()) << "the full buffer still encodes";
    answer("C_Sign", CKR_OK).value(Bytes(4096, 1)).count(4097);
    EXPECT_EQ((Strings{"10037", ""}), sign(jvm.byteArray({1}), 1));
    answer("C_Sign", CKR_OK).count(~CK_ULONG{0});
    EXPECT_EQ((Strings{"10037", ""}), sign(jvm.byteArray({1}), 1));
    EXPECT_EQ(5u, mock::calls().size());
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SignTest, ElementsThatCannotBeHadGiveNull) {
    FakeJvm failing;
    jbyteArray data = failing.byteArray({1, 2});
    failing.failCall(FakeJvm::Function::GetByteArrayElements);
    EXPECT_EQ(nullptr, Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(failing.env(), nullptr, 1, data, 2));
    EXPECT_TRUE(mock::calls().empty());
    EXPECT_JNI_CLEAN(failing);
}

TEST_F(BridgeTest, UnboundSignChecksItsArgumentsFirst) {
    ASSERT_EQ("10022", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                           env, nullptr, jvm.string(mock::variantPath("Sign")))));
    EXPECT_EQ((Strings{"10035", ""}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(env, nullptr, 1, nullptr, 0)));
    EXPECT_EQ((Strings{"10022", ""}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(env, nullptr, 1, jvm.byteArray({1}), 1)));
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
