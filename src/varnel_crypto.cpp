// Signing, encryption and decryption, key wrapping and unwrapping.
#include <cstring>
#include <iterator>

#include "base64.h"
#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "varnel.h"

using namespace varnel;

namespace {

constexpr CK_ULONG kSignatureRoom = 4096;
constexpr CK_ULONG kCipherTextRoom = 4096;
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
    bool select(const char* name, bool oaepAllowed) noexcept {
        if (std::strcmp(name, "rsapkcs") == 0) return true;
        if (oaepAllowed && std::strcmp(name, "rsapkcsoaep") == 0) {
            mechanism = {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
            return true;
        }
        return false;
    }
};

// Reads a mechanism keyword and selects its mechanism. The characters are
// given back at once: the mechanism does not point into them. A JVM that
// cannot supply them is marked on `out`.
CK_RV selectMechanism(JNIEnv* env, jstring name, bool oaepAllowed, CK_RV nullCode, Outcome& out,
                      RsaMechanism& rsa) noexcept {
    if (!name) return nullCode;
    Utf8Chars chars(env, name);
    if (!chars) return out.jvmFailure();
    return rsa.select(chars.get(), oaepAllowed) ? CKR_OK : kUnknownMechanismName;
}

// EncryptInit and DecryptInit differ only in their entry point.
template <typename InitFunction>
jstring startOperation(JNIEnv* env, InitFunction init, CK_RV missingCode, jlong session, jlong key,
                       jstring mechanismName) noexcept {
    StatusResult out;
    out.status = [&]() -> CK_RV {
        RsaMechanism rsa;
        CK_RV rv = selectMechanism(env, mechanismName, true, kNullMechanismName, out, rsa);
        if (rv != CKR_OK || out.jvmFailed) return rv;
        return callDriver(init, missingCode, handleFromJava(session), &rsa.mechanism, handleFromJava(key));
    }();
    return out.toJava(env);
}

// Makes element 1 the Base64 text of what a driver wrote into `room` bytes,
// refusing a reported length beyond the room rather than reading past it.
CK_RV answerBase64(ArrayResult<2>& out, const CK_BYTE* bytes, CK_ULONG length, CK_ULONG room, char* text,
                   unsigned int textRoom, CK_RV tooLong) noexcept {
    unsigned int textLength = textRoom;
    if (length > room || base64Encode(bytes, static_cast<int>(length), text, &textLength) != 0) return tooLong;
    out.texts[1] = text;
    return CKR_OK;
}

}  // namespace

// String SignInit(long session, long key)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_SignInit(JNIEnv* env, jclass, jlong session,
                                                                                  jlong key) noexcept {
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    return statusString(env, callDriver(CP_SignInit, kMissingSignInit, handleFromJava(session), &mechanism,
                                        handleFromJava(key)));
}

// String[] Sign(long session, byte[] data, int length)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(JNIEnv* env, jclass,
                                                                                   jlong session, jbyteArray data,
                                                                                   jint length) noexcept {
    // Zeroed: a driver that reports more than it wrote shows zeros, never
    // stale stack memory.
    CK_BYTE signature[kSignatureRoom] = {};
    char base64[kBase64Room];  // written by the encoder before it is read
    ArrayResult<2> out;
    out.status = [&]() -> CK_RV {
        if (!data || !lengthFitsArray(env, data, length)) return kBadData;
        ByteElements bytes(env, data);
        if (!bytes) return out.jvmFailure();
        CK_ULONG signatureLength = kSignatureRoom;
        CK_RV rv = callDriver(CP_Sign, kMissingSign, handleFromJava(session), bytes.get(), ulongFromJava(length),
                              signature, &signatureLength);
        if (rv != CKR_OK) return rv;
        return answerBase64(out, signature, signatureLength, kSignatureRoom, base64, kBase64Room,
                            kSignatureOrWrappedKeyTooLong);
    }();
    return out.toJava(env);
}

// String EncryptInit(long session, long key, String mechanismName)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(
    JNIEnv* env, jclass, jlong session, jlong key, jstring mechanismName) noexcept {
    return startOperation(env, CP_EncryptInit, kMissingEncryptInit, session, key, mechanismName);
}

// String DecryptInit(long session, long key, String mechanismName)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit(
    JNIEnv* env, jclass, jlong session, jlong key, jstring mechanismName) noexcept {
    return startOperation(env, CP_DecryptInit, kMissingDecryptInit, session, key, mechanismName);
}

// String[] Encrypt(long session, byte[] data, int length)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Encrypt(JNIEnv* env, jclass,
                                                                                      jlong session, jbyteArray data,
                                                                                      jint length) noexcept {
    CK_BYTE cipherText[kCipherTextRoom] = {};
    char base64[kBase64Room];
    ArrayResult<2> out;
    out.status = [&]() -> CK_RV {
        if (!data || !lengthFitsArray(env, data, length)) return kBadData;
        ByteElements bytes(env, data);
        if (!bytes) return out.jvmFailure();
        CK_ULONG cipherLength = kCipherTextRoom;
        CK_RV rv = callDriver(CP_Encrypt, kMissingEncrypt, handleFromJava(session), bytes.get(),
                              ulongFromJava(length), cipherText, &cipherLength);
        if (rv != CKR_OK) return rv;
        return answerBase64(out, cipherText, cipherLength, kCipherTextRoom, base64, kBase64Room, kCipherTextTooLong);
    }();
    return out.toJava(env);
}

// String[] Decrypt(long session, byte[] data, int length)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(JNIEnv* env, jclass,
                                                                                      jlong session, jbyteArray data,
                                                                                      jint length) noexcept {
    CK_BYTE cipherText[kDecodedRoom];  // filled by the decoder up to the length it reports
    CK_BYTE plainText[kPlainTextRoom] = {};
    char base64[kLongBase64Room];
    ArrayResult<2> out;
    out.status = [&]() -> CK_RV {
        if (length > kLongestBase64Input) return kDataTooLong;
        if (!data) return kBadData;
        // A negative length decodes nothing; a length past the array would
        // read beyond it.
        if (length > env->GetArrayLength(data)) return kDataTooLong;
        ByteElements text(env, data);
        if (!text) return out.jvmFailure();
        unsigned int cipherLength = kDecodedRoom;
        if (base64Decode(reinterpret_cast<const char*>(text.get()), length, cipherText, &cipherLength) != 0)
            return kBadBase64;
        CK_ULONG plainLength = kPlainTextRoom;
        CK_RV rv = callDriver(CP_Decrypt, kMissingDecrypt, handleFromJava(session), cipherText,
                              CK_ULONG{cipherLength}, plainText, &plainLength);
        if (rv != CKR_OK) return rv;
        return answerBase64(out, plainText, plainLength, kPlainTextRoom, base64, kLongBase64Room, kPlainTextTooLong);
    }();
    return out.toJava(env);
}

// String[] WrapKey(long session, String mechanismName, long wrappingKey, long keyToWrap)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(
    JNIEnv* env, jclass, jlong session, jstring mechanismName, jlong wrappingKey, jlong keyToWrap) noexcept {
    CK_BYTE wrapped[kWrappedKeyRoom] = {};
    char base64[kLongBase64Room];
    ArrayResult<2> out;
    out.status = [&]() -> CK_RV {
        RsaMechanism rsa;
        CK_RV rv = selectMechanism(env, mechanismName, false, kUnknownMechanismName, out, rsa);
        if (rv != CKR_OK || out.jvmFailed) return rv;
        CK_ULONG wrappedLength = kWrappedKeyRoom;
        rv = callDriver(CP_WrapKey, kMissingWrapKey, handleFromJava(session), &rsa.mechanism,
                              handleFromJava(wrappingKey), handleFromJava(keyToWrap), wrapped, &wrappedLength);
        if (rv != CKR_OK) return rv;
        return answerBase64(out, wrapped, wrappedLength, kWrappedKeyRoom, base64, kLongBase64Room,
                            kSignatureOrWrappedKeyTooLong);
    }();
    return out.toJava(env);
}

// String[] UnwrapKey(long session, String wrappedKey, long unwrappingKey, String mechanismName)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(
    JNIEnv* env, jclass, jlong session, jstring wrappedKey, jlong unwrappingKey, jstring mechanismName) noexcept {
    CK_OBJECT_HANDLE key = 0;
    ArrayResult<2> out;
    out.status = [&]() -> CK_RV {
        // The keyword is judged before anything else is looked at.
        RsaMechanism rsa;
        CK_RV rv = selectMechanism(env, mechanismName, false, kUnknownMechanismName, out, rsa);
        if (rv != CKR_OK || out.jvmFailed) return rv;
        if (!wrappedKey) return kNullWrappedKey;
        Utf8Chars text(env, wrappedKey);
        if (!text) return out.jvmFailure();
        const size_t textLength = std::strlen(text.get());
        if (textLength > static_cast<size_t>(kLongestBase64Input)) return kWrappedKeyTooLong;
        CK_BYTE decoded[kDecodedRoom];  // filled by the decoder up to the length it reports
        unsigned int decodedLength = kDecodedRoom;
        if (base64Decode(text.get(), static_cast<int>(textLength), decoded, &decodedLength) != 0)
            return kBadBase64;

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
        return callDriver(CP_UnwrapKey, kMissingUnwrapKey, handleFromJava(session), &rsa.mechanism,
                          handleFromJava(unwrappingKey), decoded, CK_ULONG{decodedLength}, keyTemplate,
                          CK_ULONG{std::size(keyTemplate)}, &key);
    }();
    char keyText[kHandleTextSize];
    formatHandle(keyText, key);
    out.texts[1] = keyText;
    return out.toJava(env);
}
