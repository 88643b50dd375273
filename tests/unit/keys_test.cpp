// GetAttributeValue, SetAttributeValue, DestroyObject, GenerateKeyPair and
// GenerateKey.
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using mock::answer;
using mock::Bytes;

class AttributesTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    Strings read(const char* name, jlong object = 21) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(
            env, nullptr, 4, object, name ? jvm.string(name) : nullptr));
    }
    // Scripts both calls of a public-key read: the lengths, then the values.
    static void publicKey(const std::vector<Bytes>& values) {
        answer lengths("C_GetAttributeValue", CKR_OK);
        for (const auto& value : values) lengths.valueLength(value.size());
        answer read("C_GetAttributeValue", CKR_OK);
        for (const auto& value : values) read.value(value);
    }
};

const Bytes kModulus(256, 0xC5);
const std::vector<Bytes> kRsaPublicKey = {kModulus, mock::text("my key"), {1, 0, 1}, {CK_TRUE}, {CK_FALSE}};

TEST_F(AttributesTest, EachKeywordPicksItsAttributeOfTheFive) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"modulus", std::string(340, 'x')},
        {"label", "my key"},
        {"exponent", "AQAB"},
        {"encrypt", "\x01"},
        {"wrap", ""},
    };
    for (const auto& c : cases) {
        publicKey(kRsaPublicKey);
        Strings result = read(c.name);
        ASSERT_EQ(2u, result.size());
        EXPECT_EQ("0", result[0]) << c.name;
        if (std::string(c.name) == "modulus")
            EXPECT_EQ(344u, result[1].size());
        else
            EXPECT_EQ(c.text, result[1]) << c.name;
    }
    // Both calls carry the five attributes in order: null values first,
    // then buffers of exactly the reported lengths.
    auto calls = mock::calls();
    ASSERT_EQ(10u, calls.size());
    Bytes expectedQuery, expectedRead;
    const CK_ULONG types[] = {CKA_MODULUS, CKA_LABEL, CKA_PUBLIC_EXPONENT, CKA_ENCRYPT, CKA_WRAP};
    for (size_t i = 0; i < 5; ++i) {
        mock::append(expectedQuery, mock::ulongBytes(types[i]));
        mock::append(expectedQuery, mock::ulongBytes(0));
        expectedQuery.push_back(0);
        mock::append(expectedRead, mock::ulongBytes(types[i]));
        mock::append(expectedRead, mock::ulongBytes(kRsaPublicKey[i].size()));
        expectedRead.push_back(1);
    }
    EXPECT_EQ(expectedQuery, calls[0].blobs[0]);
    EXPECT_EQ(expectedRead, calls[1].blobs[0]);
    EXPECT_EQ((std::vector<CK_ULONG>{4, 21, 5}), calls[1].numbers);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(AttributesTest, CertificateReadsItsValueAloneUpToTheBase64Room) {
    answer("C_GetAttributeValue", CKR_OK).valueLength(7497);
    answer("C_GetAttributeValue", CKR_OK).value(Bytes(7497, 0x30));
    Strings fits = read("certificate");
    EXPECT_EQ("0", fits[0]);
    EXPECT_EQ(9996u, fits[1].size());
    EXPECT_EQ(mock::templateBlob({}).size() + 2 * sizeof(CK_ULONG) + 1, mock::calls()[0].blobs[0].size())
        << "one attribute";
    EXPECT_EQ(CKA_VALUE, mock::calls()[0].blobs[0][0]);

    answer("C_GetAttributeValue", CKR_OK).valueLength(7498);
    answer("C_GetAttributeValue", CKR_OK).value(Bytes(7498, 0x30));
    EXPECT_EQ((Strings{"10049", ""}), read("certificate"));
    publicKey({Bytes(7498, 1), {}, Bytes(7498, 1), {}, {}});
    EXPECT_EQ((Strings{"10041", ""}), read("modulus"));
    publicKey({Bytes(7498, 1), {}, Bytes(7498, 1), {}, {}});
    EXPECT_EQ((Strings{"10046", ""}), read("exponent"));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(AttributesTest, KeywordsAreMatchedExactlyAndUnknownOnesFailAfterTheReads) {
    EXPECT_EQ((Strings{"10038", ""}), read(nullptr));
    EXPECT_TRUE(mock::calls().empty());
    for (const char* name : {"Modulus", "encryption", "label1", "", "certificat"}) {
        publicKey(kRsaPublicKey);
        EXPECT_EQ((Strings{"10044", ""}), read(name)) << name;
    }
    EXPECT_EQ(10u, mock::calls().size()) << "both reads happen before the keyword is judged";
    answer("C_GetAttributeValue", CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ((Strings{"18", ""}), read("label")) << "a certificate has no modulus";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(AttributesTest, LengthsTheDriverReportsAreNeverTrustedBlindly) {
    // Unavailable or huge lengths: no second call.
    for (CK_ULONG length : {CK_UNAVAILABLE_INFORMATION, (CK_ULONG{1} << 20) + 1}) {
        mock_reset();
        answer("C_GetAttributeValue", CKR_OK).valueLength(3).valueLength(length);
        EXPECT_EQ((Strings{"5", ""}), read("modulus"));
        EXPECT_EQ(1u, mock::calls().size());
    }
    // A value read reporting more than was allocated is not read.
    answer("C_GetAttributeValue", CKR_OK).valueLength(3);
    answer("C_GetAttributeValue", CKR_OK).value({1, 2, 3}).valueLength(4);
    EXPECT_EQ((Strings{"5", ""}), read("modulus"));
    // A length of 0 is an empty value.
    publicKey({{}, {}, {}, {}, {}});
    EXPECT_EQ((Strings{"0", ""}), read("label"));
    publicKey({{}, {}, {}, {}, {}});
    EXPECT_EQ((Strings{"0", ""}), read("modulus"));
    answer("C_GetAttributeValue", CKR_OK).valueLength(3);
    answer("C_GetAttributeValue", CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ((Strings{"130", ""}), read("label"));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(AttributesTest, LabelsReachJavaAsValidStrings) {
    publicKey({{}, {'o', 'k', 0xFF, 0, 'x'}, {}, {}, {}});
    EXPECT_EQ((Strings{"0", "ok\xEF\xBF\xBD"}), read("label")) << "cut at the zero byte";
    publicKey({{}, Bytes(20000, 'a'), {}, {}, {}});
    EXPECT_EQ(std::string(9999, 'a'), read("label")[1]);
    // The text takes 9999 bytes at most: a label that grows when made valid
    // is cut at a whole character.
    std::string replacements;
    for (int i = 0; i < 3333; ++i) replacements += "\xEF\xBF\xBD";
    publicKey({{}, Bytes(5000, 0xFF), {}, {}, {}});
    EXPECT_EQ(replacements, read("label")[1]);
    // A four-byte character becomes six bytes: the last pair that fits ends
    // the text, 5 bytes short of the room.
    Bytes emoji{'a', 'a', 'a', 'a'};
    std::string pairs = "aaaa";
    for (int i = 0; i < 2000; ++i) emoji.insert(emoji.end(), {0xF0, 0x9F, 0x94, 0x91});
    for (int i = 0; i < 1665; ++i) pairs += "\xED\xA0\xBD\xED\xB4\x91";
    publicKey({{}, emoji, {}, {}, {}});
    EXPECT_EQ(pairs, read("label")[1]);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(AttributesTest, SetAttributeValueRelabelsBothObjectsInTurn) {
    EXPECT_EQ("0", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(env, nullptr, 1, 2, 3,
                                                                                  jvm.string("new"))));
    auto calls = mock::calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ((std::vector<CK_ULONG>{1, 2, 1}), calls[0].numbers);
    EXPECT_EQ((std::vector<CK_ULONG>{1, 3, 1}), calls[1].numbers);
    EXPECT_EQ(mock::templateBlob({{CKA_LABEL, mock::text("new")}}), calls[1].blobs[0]);

    mock_reset();
    answer("C_SetAttributeValue", CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ("16", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(env, nullptr, 1, 2, 3,
                                                                                   jvm.string(""))));
    EXPECT_EQ(1u, mock::calls().size()) << "the second object is not touched";
    EXPECT_EQ(mock::templateBlob({{CKA_LABEL, {}}}), mock::calls()[0].blobs[0]);
    answer("C_SetAttributeValue", CKR_OK);
    answer("C_SetAttributeValue", CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ("130", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(env, nullptr, 1, 2, 3,
                                                                                    jvm.string("x"))));
    EXPECT_EQ("10036", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(env, nullptr, 1, 2, 3,
                                                                                      nullptr)));
    answer("C_DestroyObject", CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ("130", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_DestroyObject(env, nullptr, 1, 9)));
    EXPECT_EQ((std::vector<CK_ULONG>{1, 9}), mock::calls().back().numbers);
    EXPECT_JNI_CLEAN(jvm);
}

class KeyGenerationTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    Strings generatePair(jstring label, jbyteArray exponent, jint exponentLength, jint bits = 2048) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(env, nullptr, 8, label, bits,
                                                                             exponent, exponentLength));
    }
};

TEST_F(KeyGenerationTest, KeyPairTemplatesCarryEveryAttributeInOrder) {
    answer("C_GenerateKeyPair", CKR_OK).handles({11, 0xFFFFFFFFUL});
    EXPECT_EQ((Strings{"0", "11", "4294967295"}),
              generatePair(jvm.string("pair"), jvm.byteArray({1, 0, 1, 9}), 3, -1));
    const Bytes yes{CK_TRUE}, no{CK_FALSE}, label = mock::text("pair");
    const Bytes rsa = mock::ulongBytes(CKK_RSA);
    auto call = mock::calls().at(0);
    EXPECT_EQ((std::vector<CK_ULONG>{8, 10, 9}), call.numbers);
    EXPECT_EQ(mock::mechanismBlob(CKM_RSA_PKCS_KEY_PAIR_GEN), call.blobs[0]);
    EXPECT_EQ(mock::templateBlob({{CKA_CLASS, mock::ulongBytes(CKO_PUBLIC_KEY)},
                                  {CKA_TOKEN, no},
                                  {CKA_VERIFY, yes},
                                  {CKA_WRAP, yes},
                                  {CKA_ENCRYPT, yes},
                                  {CKA_LABEL, label},
                                  {CKA_MODIFIABLE, yes},
                                  {CKA_MODULUS_BITS, mock::ulongBytes(0xFFFFFFFFUL)},
                                  {CKA_PUBLIC_EXPONENT, {1, 0, 1}},
                                  {CKA_KEY_TYPE, rsa}}),
              call.blobs[1]);
    EXPECT_EQ(mock::templateBlob({{CKA_CLASS, mock::ulongBytes(CKO_PRIVATE_KEY)},
                                  {CKA_SIGN, yes},
                                  {CKA_TOKEN, yes},
                                  {CKA_PRIVATE, yes},
                                  {CKA_DECRYPT, yes},
                                  {CKA_LABEL, label},
                                  {CKA_EXTRACTABLE, no},
                                  {CKA_UNWRAP, yes},
                                  {CKA_KEY_TYPE, rsa}}),
              call.blobs[2]);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(KeyGenerationTest, KeyPairArgumentsAreCheckedExponentFirst) {
    EXPECT_EQ((Strings{"10045", "0", "0"}), generatePair(nullptr, nullptr, 3));
    EXPECT_EQ((Strings{"10045", "0", "0"}), generatePair(nullptr, jvm.byteArray({1, 0, 1}), 4));
    EXPECT_EQ((Strings{"10045", "0", "0"}), generatePair(jvm.string("x"), jvm.byteArray({1, 0, 1}), -1));
    EXPECT_EQ(0, jvm.calls(FakeJvm::Function::GetByteArrayElements));
    EXPECT_EQ((Strings{"10036", "0", "0"}), generatePair(nullptr, jvm.byteArray({1, 0, 1}), 3));
    EXPECT_EQ(1, jvm.calls(FakeJvm::Function::ReleaseByteArrayElements)) << "the exponent is still released";
    EXPECT_TRUE(mock::calls().empty());
    answer("C_GenerateKeyPair", CKR_TEMPLATE_INCONSISTENT).handles({3});
    EXPECT_EQ((Strings{"209", "3", "0"}), generatePair(jvm.string(""), jvm.byteArray({3}), 1));
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(KeyGenerationTest, AesKeyTemplateIsFixed) {
    answer("C_GenerateKey", CKR_OK).handles({42});
    EXPECT_EQ((Strings{"0", "42"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKey(env, nullptr, 6, 7)));
    answer("C_GenerateKey", CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ((Strings{"257", "0"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKey(env, nullptr, 6, -5)));
    auto calls = mock::calls();
    const Bytes yes{CK_TRUE};
    const Bytes expected = mock::templateBlob({{CKA_CLASS, mock::ulongBytes(CKO_SECRET_KEY)},
                                               {CKA_KEY_TYPE, mock::ulongBytes(CKK_AES)},
                                               {CKA_TOKEN, yes},
                                               {CKA_SENSITIVE, yes},
                                               {CKA_PRIVATE, yes},
                                               {CKA_ENCRYPT, yes},
                                               {CKA_DECRYPT, yes},
                                               {CKA_SIGN, yes},
                                               {CKA_VERIFY, yes},
                                               {CKA_WRAP, yes},
                                               {CKA_UNWRAP, yes},
                                               {CKA_DERIVE, yes},
                                               {CKA_VALUE_LEN, mock::ulongBytes(32)}});
    for (const auto& call : calls) {
        EXPECT_EQ(mock::mechanismBlob(CKM_AES_KEY_GEN), call.blobs[0]);
        EXPECT_EQ(expected, call.blobs[1]) << "the int argument changes nothing";
        EXPECT_EQ((std::vector<CK_ULONG>{6, 13}), call.numbers);
    }
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
