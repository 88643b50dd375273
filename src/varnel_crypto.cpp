// Signing, encryption and decryption, key wrapping and unwrapping.
#include <cstring>
#include <iterator>

#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "varnel.h"

using namespace varnel;

namespace {

// Signatures and cipher texts: one size of driver output for both.
constexpr CK_ULONG kSignatureRoom = 4096;
constexpr unsigned int kBase64Room = 10000;
// Decrypt and UnwrapKey take at most this much Base64 text; it decodes to at
// most 7500 bytes, well within the decoded buffer.
constexpr jint kLongestBase64Input = 10000;
constexpr unsigned int kDecodedRoom = 10000;
constexpr CK_ULONG kPlainTextRoom = 10000;
constexpr CK_ULONG kWrappedKeyRoom = 10000;
constexpr unsigned int kLongBase64Room = 15000;

// The mechanism a keyword names. OAEP uses SHA-1, MGF1 with SHA-1 and an
// empty label, which PKCS#11 tokens expect as a null pointer with length 0.
struct RsaMechanism {
    RsaMechanism() = default;
    RsaMechanism(const RsaMechanism&) = delete;  // `mechanism` points into the object
    RsaMechanism& operator=(const RsaMechanism&) = delete;

    CK_RSA_PKCS_OAEP_PARAMS oaep = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};

    // Exact, case-sensitive matches only.
    [[nodiscard]] bool select(const char* name, bool oaepAllowed) noexcept {
        if (std::strcmp(name, "rsapkcs") == 0) return true;
        if (oaepAllowed && std::strcmp(name, "rsapkcsoaep") == 0) {
            mechanism = {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
            return true;
        }
        return false;
    }
};

// Makes element 1 the Base64 text of what a driver wrote into `output`,
// refusing a reported length beyond the room rather than reading past it.
template <typename Text, CK_ULONG kRoom>
Status answerBase64(Text& out, const DriverOutput<kRoom>& output, CK_RV tooLong) noexcept {
    if (output.length > kRoom) return Status(tooLong);
    return Status(out.setBase64(1, output.bytes, output.length) ? CKR_OK : tooLong);
}

// Reads a mechanism keyword and selects its mechanism. The characters are
// given back at once: the mechanism does not point into them.
Status selectMechanism(JNIEnv* env, jstring name, bool oaepAllowed, CK_RV nullCode,
                       RsaMechanism& rsa) noexcept {
    if (!name) return Status(nullCode);
    Utf8Chars chars(env, name);
    if (!chars) return Status::jvmFailure();
    return Status(rsa.select(chars.get(), oaepAllowed) ? CKR_OK : kUnknownMechanismName);
}

// EncryptInit and DecryptInit differ only in their entry point.
template <typename InitFunction>
jstring startOperation(JNIEnv* env, EntryPoint<InitFunction> init, jlong session, jlong key,
                       jstring mechanismName) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        RsaMechanism rsa;
        const Status selected = selectMechanism(env, mechanismName, true, kNullMechanismName, rsa);
        if (!selected.ok()) return selected;
        return Status(init.call(handleFromJava(session), &rsa.mechanism, handleFromJava(key)));
    });
}

using SignatureText = TextResult<2, kBase64Room>;
using SignatureBuffer = DriverOutput<kSignatureRoom>;

// Sign and Encrypt differ only in their entry point and in the status of an
// answer beyond the room offered.
template <typename Function>
jobjectArray singlePart(JNIEnv* env, EntryPoint<Function> operation, jlong session, jbyteArray data,
                        jint length, CK_RV tooLong) noexcept {
    return respond<SignatureText, SignatureBuffer>(env, [&](auto& out, auto& output) -> Status {
        if (!data || !lengthFitsArray(env, data, length)) return Status(kBadData);
        ByteElements bytes(env, data);
        if (!bytes) return Status::jvmFailure();
        const CK_RV rv = operation.call(handleFromJava(session), bytes.get(), ulongFromJava(length),
                                        output.bytes, &output.length);
        if (rv != CKR_OK) return Status(rv);
        return answerBase64(out, output, tooLong);
    });
}

}  // namespace

// String SignInit(long session, long key)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_SignInit(JNIEnv* env, jclass,
                                                                                  jlong session,
                                                                                  jlong key) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        return Status(driver::SignInit().call(handleFromJava(session), &mechanism, handleFromJava(key)));
    });
}

// String[] Sign(long session, byte[] data, int length)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(JNIEnv* env, jclass,
                                                                                   jlong session,
                                                                                   jbyteArray data,
                                                                                   jint length) noexcept {
    return singlePart(env, driver::Sign(), session, data, length, kSignatureOrWrappedKeyTooLong);
}

// String EncryptInit(long session, long key, String mechanismName)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(
    JNIEnv* env, jclass, jlong session, jlong key, jstring mechanismName) noexcept {
    return startOperation(env, driver::EncryptInit(), session, key, mechanismName);
}

// String DecryptInit(long session, long key, String mechanismName)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit(
    JNIEnv* env, jclass, jlong session, jlong key, jstring mechanismName) noexcept {
    return startOperation(env, driver::DecryptInit(), session, key, mechanismName);
}

// String[] Encrypt(long session, byte[] data, int length)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Encrypt(JNIEnv* env, jclass,
                                                                                      jlong session,
                                                                                      jbyteArray data,
                                                                                      jint length) noexcept {
    return singlePart(env, driver::Encrypt(), session, data, length, kCipherTextTooLong);
}

namespace {

using LongText = TextResult<2, kLongBase64Room>;

struct DecryptBuffers {
    CK_BYTE cipherText[kDecodedRoom];  // filled by the decoder up to the length it reports
    DriverOutput<kPlainTextRoom> plainText;
};

}  // namespace

// String[] Decrypt(long session, byte[] data, int length)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(JNIEnv* env, jclass,
                                                                                      jlong session,
                                                                                      jbyteArray data,
                                                                                      jint length) noexcept {
    return respond<LongText, DecryptBuffers>(env, [&](auto& out, auto& buffers) -> Status {
        if (length > kLongestBase64Input) return Status(kDataTooLong);
        if (!data) return Status(kBadData);
        // A negative length decodes nothing; a length past the array would
        // read beyond it.
        if (length > env->GetArrayLength(data)) return Status(kDataTooLong);
        ByteElements text(env, data);
        if (!text) return Status::jvmFailure();
        unsigned int cipherLength = kDecodedRoom;
        if (base64Decode(reinterpret_cast<const char*>(text.get()), length, buffers.cipherText,
                         &cipherLength) != 0)
            return Status(kBadBase64);
        DriverOutput<kPlainTextRoom>& plain = buffers.plainText;
        const CK_RV rv = driver::Decrypt().call(handleFromJava(session), buffers.cipherText,
                                                CK_ULONG{cipherLength}, plain.bytes, &plain.length);
        if (rv != CKR_OK) return Status(rv);
        return answerBase64(out, plain, kPlainTextTooLong);
    });
}

namespace {

using WrappedKeyBuffer = DriverOutput<kWrappedKeyRoom>;

// The decoded wrapped key.
struct UnwrapBuffers {
    CK_BYTE decoded[kDecodedRoom];  // filled by the decoder up to the length it reports
};

}  // namespace

// String[] WrapKey(long session, String mechanismName, long wrappingKey, long keyToWrap)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(
    JNIEnv* env, jclass, jlong session, jstring mechanismName, jlong wrappingKey, jlong keyToWrap) noexcept {
    return respond<LongText, WrappedKeyBuffer>(env, [&](auto& out, auto& wrapped) -> Status {
        RsaMechanism rsa;
        const Status selected = selectMechanism(env, mechanismName, false, kUnknownMechanismName, rsa);
        if (!selected.ok()) return selected;
        const CK_RV rv =
            driver::WrapKey().call(handleFromJava(session), &rsa.mechanism, handleFromJava(wrappingKey),
                                   handleFromJava(keyToWrap), wrapped.bytes, &wrapped.length);
        if (rv != CKR_OK) return Status(rv);
        return answerBase64(out, wrapped, kSignatureOrWrappedKeyTooLong);
    });
}

// String[] UnwrapKey(long session, String wrappedKey, long unwrappingKey, String mechanismName)
extern "C" JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(JNIEnv* env, jclass, jlong session, jstring wrappedKey,
                                              jlong unwrappingKey, jstring mechanismName) noexcept {
    return respond<HandleResult<1>, UnwrapBuffers>(env, [&](auto& out, auto& buffers) -> Status {
        // The keyword is judged before anything else is looked at.
        RsaMechanism rsa;
        const Status selected = selectMechanism(env, mechanismName, false, kUnknownMechanismName, rsa);
        if (!selected.ok()) return selected;
        if (!wrappedKey) return Status(kNullWrappedKey);
        Utf8Chars text(env, wrappedKey);
        if (!text) return Status::jvmFailure();
        const CK_ULONG textLength = text.length();
        if (textLength > static_cast<CK_ULONG>(kLongestBase64Input)) return Status(kWrappedKeyTooLong);
        unsigned int decodedLength = kDecodedRoom;
        if (base64Decode(text.get(), static_cast<int>(textLength), buffers.decoded, &decodedLength) != 0)
            return Status(kBadBase64);

        // A triple-DES key; everything else takes the driver's defaults.
        CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
        CK_KEY_TYPE des3 = CKK_DES3;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE keyTemplate[] = {
            {CKA_CLASS, &secretClass, sizeof secretClass},
            {CKA_KEY_TYPE, &des3, sizeof des3},
            {CKA_ENCRYPT, &yes, sizeof yes},
            {CKA_DECRYPT, &yes, sizeof yes},
        };
        return Status(driver::UnwrapKey().call(
            handleFromJava(session), &rsa.mechanism, handleFromJava(unwrappingKey), buffers.decoded,
            CK_ULONG{decodedLength}, keyTemplate, CK_ULONG{std::size(keyTemplate)}, &out.handles[0]));
    });
}
