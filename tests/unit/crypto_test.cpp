// EncryptInit, Encrypt, DecryptInit, Decrypt, WrapKey and UnwrapKey.
#include <cstring>
#include <functional>

#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using mock::answer;
using mock::Bytes;

using InitMethod = jstring(JNICALL*)(JNIEnv*, jclass, jlong, jlong, jstring);

Bytes oaepMechanismBlob() {
    CK_RSA_PKCS_OAEP_PARAMS params = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    Bytes raw(sizeof params);
    std::memcpy(raw.data(), &params, sizeof params);
    Bytes blob = mock::ulongBytes(CKM_RSA_PKCS_OAEP);
    mock::append(blob, mock::ulongBytes(sizeof params));
    blob.push_back(1);
    mock::append(blob, raw);
    for (CK_ULONG field : {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, 0UL})
        mock::append(blob, mock::ulongBytes(field));
    blob.push_back(0);  // an empty label is a null pointer
    return blob;
}

class CryptoTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    Strings encrypt(jbyteArray data, jint length) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Encrypt(env, nullptr, 2, data, length));
    }
    Strings decrypt(jbyteArray data, jint length) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(env, nullptr, 2, data, length));
    }
    jbyteArray ascii(const std::string& text) { return jvm.byteArray(mock::text(text)); }
};

TEST_F(CryptoTest, InitMethodsSelectTheMechanismByExactKeyword) {
    const struct {
        InitMethod method;
        const char* entryPoint;
    } methods[] = {{&Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit, "C_EncryptInit"},
                   {&Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit, "C_DecryptInit"}};
    for (const auto& m : methods) {
        mock_reset();
        EXPECT_EQ("0", jvm.text(m.method(env, nullptr, 3, 9, jvm.string("rsapkcs"))));
        EXPECT_EQ("0", jvm.text(m.method(env, nullptr, 3, 9, jvm.string("rsapkcsoaep"))));
        for (const char* unknown : {"RSAPKCS", "rsapkcs ", "rsa", "", "rsapkcsoaep2", "rsapkcsOAEP"})
            EXPECT_EQ("10064", jvm.text(m.method(env, nullptr, 3, 9, jvm.string(unknown)))) << unknown;
        EXPECT_EQ("10055", jvm.text(m.method(env, nullptr, 3, 9, nullptr)));
        auto calls = mock::calls();
        ASSERT_EQ(2u, calls.size()) << m.entryPoint;
        EXPECT_EQ(m.entryPoint, calls[0].function);
        EXPECT_EQ((std::vector<CK_ULONG>{3, 9}), calls[0].numbers);
        EXPECT_EQ(mock::mechanismBlob(CKM_RSA_PKCS), calls[0].blobs[0]);
        EXPECT_EQ(oaepMechanismBlob(), calls[1].blobs[0]);
        answer(m.entryPoint, CKR_KEY_FUNCTION_NOT_PERMITTED);
        EXPECT_EQ("104", jvm.text(m.method(env, nullptr, 3, 9, jvm.string("rsapkcs"))));
    }
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(CryptoTest, EncryptReturnsTheCipherTextAsBase64) {
    answer("C_Encrypt", CKR_OK).value(Bytes(256, 0x11));
    Strings result = encrypt(jvm.byteArray(Bytes(245, 7)), 245);
    EXPECT_EQ("0", result[0]);
    EXPECT_EQ(344u, result[1].size());
    auto call = mock::calls().at(0);
    EXPECT_EQ((std::vector<CK_ULONG>{2, 245, 1, 4096}), call.numbers);
    EXPECT_EQ(mock::inputBlob(Bytes(245, 7)), call.blobs[0]);

    EXPECT_EQ((Strings{"10035", ""}), encrypt(nullptr, 1));
    EXPECT_EQ((Strings{"10035", ""}), encrypt(jvm.byteArray({1}), 2));
    EXPECT_EQ((Strings{"10035", ""}), encrypt(jvm.byteArray({1}), -1));
    answer("C_Encrypt", CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ((Strings{"336", ""}), encrypt(jvm.byteArray({1}), 1));
    answer("C_Encrypt", CKR_OK).count(4097);
    EXPECT_EQ((Strings{"10057", ""}), encrypt(jvm.byteArray({1}), 1));
    EXPECT_EQ(3u, mock::calls().size());
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(CryptoTest, DecryptChecksLengthBeforeDataAndDecodesBeforeTheDriver) {
    EXPECT_EQ((Strings{"10065", ""}), decrypt(nullptr, 10001));
    EXPECT_EQ((Strings{"10035", ""}), decrypt(nullptr, 10000));
    EXPECT_EQ((Strings{"10065", ""}), decrypt(ascii("YWJj"), 5)) << "past the array";
    EXPECT_EQ((Strings{"10063", ""}), decrypt(ascii("YW Jj"), 5));
    EXPECT_EQ((Strings{"10063", ""}), decrypt(ascii("YW-j"), 4));
    EXPECT_EQ(2, jvm.calls(FakeJvm::Function::GetByteArrayElements))
        << "only arrays that pass the length checks";
    EXPECT_TRUE(mock::calls().empty());

    answer("C_Decrypt", CKR_OK).value(mock::text("hello")).sticky();
    EXPECT_EQ((Strings{"0", "aGVsbG8="}), decrypt(ascii("YW\r\nJj"), 6));
    EXPECT_EQ((Strings{"0", "aGVsbG8="}), decrypt(ascii("YWJjYQ"), 6));
    EXPECT_EQ((Strings{"0", "aGVsbG8="}), decrypt(ascii(""), 0));
    EXPECT_EQ((Strings{"0", "aGVsbG8="}), decrypt(ascii("YWJj"), -3));
    std::string longest(10000, 'A');
    EXPECT_EQ("0", decrypt(ascii(longest), 10000)[0]);
    auto calls = mock::calls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ(mock::inputBlob(mock::text("abc")), calls[0].blobs[0]);
    EXPECT_EQ(mock::inputBlob(mock::text("abc")), calls[1].blobs[0]) << "the incomplete group is dropped";
    EXPECT_EQ(mock::inputBlob({}), calls[2].blobs[0]);
    EXPECT_EQ(mock::inputBlob({}), calls[3].blobs[0]) << "a negative length decodes nothing";
    EXPECT_EQ((std::vector<CK_ULONG>{2, 7500, 1, 10000}), calls[4].numbers);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(CryptoTest, DecryptNeverReadsPastThePlainTextBuffer) {
    answer("C_Decrypt", CKR_OK).value(Bytes(10000, 1));
    EXPECT_EQ(13336u, decrypt(ascii("YWJj"), 4)[1].size());
    answer("C_Decrypt", CKR_OK).value(Bytes(10, 1)).count(10001);
    EXPECT_EQ((Strings{"10058", ""}), decrypt(ascii("YWJj"), 4));
    answer("C_Decrypt", CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ((Strings{"64", ""}), decrypt(ascii("YWJj"), 4));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(CryptoTest, WrapKeyUsesRsaPkcsOnly) {
    answer("C_WrapKey", CKR_OK).value(Bytes(256, 2));
    Strings wrapped =
        jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(env, nullptr, 1, jvm.string("rsapkcs"), 7, 8));
    EXPECT_EQ("0", wrapped[0]);
    EXPECT_EQ(344u, wrapped[1].size());
    auto call = mock::calls().at(0);
    EXPECT_EQ((std::vector<CK_ULONG>{1, 7, 8, 1, 10000}), call.numbers);
    EXPECT_EQ(mock::mechanismBlob(CKM_RSA_PKCS), call.blobs[0]);
    for (jstring name : {jvm.string("rsapkcsoaep"), jvm.string("RSAPKCS"), jstring{nullptr}})
        EXPECT_EQ((Strings{"10064", ""}),
                  jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(env, nullptr, 1, name, 7, 8)));
    EXPECT_EQ(1u, mock::calls().size());
    answer("C_WrapKey", CKR_OK).count(10001);
    EXPECT_EQ((Strings{"10037", ""}), jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(
                                          env, nullptr, 1, jvm.string("rsapkcs"), 7, 8)));
    answer("C_WrapKey", CKR_KEY_UNEXTRACTABLE);
    EXPECT_EQ((Strings{"106", ""}), jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(
                                        env, nullptr, 1, jvm.string("rsapkcs"), 7, 8)));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(CryptoTest, UnwrapKeyJudgesTheKeywordFirstThenTheText) {
    auto unwrap = [&](jstring text, jstring name) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(env, nullptr, 1, text, 6, name));
    };
    EXPECT_EQ((Strings{"10064", "0"}), unwrap(nullptr, jvm.string("rsapkcsoaep")));
    EXPECT_EQ((Strings{"10064", "0"}), unwrap(jvm.string("YWJj"), nullptr));
    EXPECT_EQ((Strings{"10062", "0"}), unwrap(nullptr, jvm.string("rsapkcs")));
    EXPECT_EQ((Strings{"10066", "0"}), unwrap(jvm.string(std::string(10001, '*')), jvm.string("rsapkcs")))
        << "too long, before decoding";
    EXPECT_EQ((Strings{"10063", "0"}), unwrap(jvm.string("YW*j"), jvm.string("rsapkcs")));
    EXPECT_TRUE(mock::calls().empty());

    answer("C_UnwrapKey", CKR_OK).handles({0xFFFFFFFFUL});
    EXPECT_EQ((Strings{"0", "4294967295"}),
              unwrap(jvm.string(std::string(10000, 'B')), jvm.string("rsapkcs")));
    answer("C_UnwrapKey", CKR_WRAPPED_KEY_INVALID);
    EXPECT_EQ((Strings{"272", "0"}), unwrap(jvm.string("YWJj"), jvm.string("rsapkcs")));
    auto calls = mock::calls();
    EXPECT_EQ((std::vector<CK_ULONG>{1, 6, 7500, 4}), calls[0].numbers);
    EXPECT_EQ(mock::mechanismBlob(CKM_RSA_PKCS), calls[1].blobs[0]);
    EXPECT_EQ(mock::inputBlob(mock::text("abc")), calls[1].blobs[1]);
    const Bytes yes{CK_TRUE};
    EXPECT_EQ(mock::templateBlob({{CKA_CLASS, mock::ulongBytes(CKO_SECRET_KEY)},
                                  {CKA_KEY_TYPE, mock::ulongBytes(CKK_DES3)},
                                  {CKA_ENCRYPT, yes},
                                  {CKA_DECRYPT, yes}}),
              calls[1].blobs[2]);
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace

// A keyword the JVM cannot supply ends the method with null before any
// driver call, whatever the method does next.
TEST_F(CryptoTest, KeywordThatCannotBeFetchedStopsBeforeTheDriver) {
    const std::function<void*(FakeJvm&)> calls[] = {
        [](FakeJvm& j) {
            return Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(j.env(), nullptr, 1, 2,
                                                                   j.string("rsapkcs"));
        },
        [](FakeJvm& j) {
            return Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit(j.env(), nullptr, 1, 2,
                                                                   j.string("rsapkcs"));
        },
        [](FakeJvm& j) {
            return Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(j.env(), nullptr, 1, j.string("rsapkcs"), 2,
                                                               3);
        },
        [](FakeJvm& j) {
            return Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(j.env(), nullptr, 1, j.string("YWJj"), 2,
                                                                 j.string("rsapkcs"));
        },
    };
    for (const auto& call : calls) {
        FakeJvm failing;
        failing.failCall(FakeJvm::Function::GetStringUTFChars);
        EXPECT_EQ(nullptr, call(failing));
        EXPECT_TRUE(mock::calls().empty()) << ::testing::PrintToString(mock::functionsCalled());
        EXPECT_JNI_CLEAN(failing);
    }
}
