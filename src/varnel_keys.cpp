// Key generation: RSA key pairs and AES keys.
#include <cstring>
#include <iterator>

#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "varnel.h"

using namespace varnel;

// String[] GenerateKeyPair(long session, String label, int modulusBits, byte[] publicExponent,
//                          int publicExponentLength)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
    JNIEnv* env, jclass, jlong session, jstring label, jint modulusBits, jbyteArray publicExponent,
    jint publicExponentLength) noexcept {
    return respond<HandleResult<2>>(env, [&](auto& out, auto&) -> Status {
        if (!publicExponent) return Status(kBadPublicExponent);
        // The driver must never read past the exponent array.
        if (!lengthFitsArray(env, publicExponent, publicExponentLength)) return Status(kBadPublicExponent);
        ByteElements exponent(env, publicExponent);
        if (!exponent) return Status::jvmFailure();
        if (!label) return Status(kNullLabel);
        Utf8Chars labelChars(env, label);
        if (!labelChars) return Status::jvmFailure();

        CK_MECHANISM mechanism = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_BBOOL yes = CK_TRUE;
        CK_BBOOL no = CK_FALSE;
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
        CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
        CK_KEY_TYPE rsa = CKK_RSA;
        CK_ULONG bits = ulongFromJava(modulusBits);
        void* labelBytes = labelChars.bytes();
        const CK_ULONG labelLength = labelChars.length();
        CK_ATTRIBUTE publicTemplate[] = {
            {CKA_CLASS, &publicClass, sizeof publicClass},
            {CKA_TOKEN, &no, sizeof no},
            {CKA_VERIFY, &yes, sizeof yes},
            {CKA_WRAP, &yes, sizeof yes},
            {CKA_ENCRYPT, &yes, sizeof yes},
            {CKA_LABEL, labelBytes, labelLength},
            {CKA_MODIFIABLE, &yes, sizeof yes},
            {CKA_MODULUS_BITS, &bits, sizeof bits},
            {CKA_PUBLIC_EXPONENT, exponent.get(), ulongFromJava(publicExponentLength)},
            {CKA_KEY_TYPE, &rsa, sizeof rsa},
        };
        CK_ATTRIBUTE privateTemplate[] = {
            {CKA_CLASS, &privateClass, sizeof privateClass},
            {CKA_SIGN, &yes, sizeof yes},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_DECRYPT, &yes, sizeof yes},
            {CKA_LABEL, labelBytes, labelLength},
            {CKA_EXTRACTABLE, &no, sizeof no},
            {CKA_UNWRAP, &yes, sizeof yes},
            {CKA_KEY_TYPE, &rsa, sizeof rsa},
        };
        return Status(driver::GenerateKeyPair().call(
            handleFromJava(session), &mechanism, publicTemplate, CK_ULONG{std::size(publicTemplate)},
            privateTemplate, CK_ULONG{std::size(privateTemplate)}, &out.handles[0], &out.handles[1]));
    });
}

// String[] GenerateKey(long session, int ignored)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKey(JNIEnv* env, jclass,
                                                                                          jlong session,
                                                                                          jint) noexcept {
    return respond<HandleResult<1>>(env, [&](auto& out, auto&) -> Status {
        // Always a 256-bit AES token key, allowed for every use.
        CK_MECHANISM mechanism = {CKM_AES_KEY_GEN, nullptr, 0};
        CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
        CK_KEY_TYPE aes = CKK_AES;
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG keyBytes = 32;
        CK_ATTRIBUTE keyTemplate[] = {
            {CKA_CLASS, &secretClass, sizeof secretClass},
            {CKA_KEY_TYPE, &aes, sizeof aes},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_SENSITIVE, &yes, sizeof yes},
            {CKA_PRIVATE, &yes, sizeof yes},
            {CKA_ENCRYPT, &yes, sizeof yes},
            {CKA_DECRYPT, &yes, sizeof yes},
            {CKA_SIGN, &yes, sizeof yes},
            {CKA_VERIFY, &yes, sizeof yes},
            {CKA_WRAP, &yes, sizeof yes},
            {CKA_UNWRAP, &yes, sizeof yes},
            {CKA_DERIVE, &yes, sizeof yes},
            {CKA_VALUE_LEN, &keyBytes, sizeof keyBytes},
        };
        return Status(driver::GenerateKey().call(handleFromJava(session), &mechanism, keyTemplate,
                                                 CK_ULONG{std::size(keyTemplate)}, &out.handles[0]));
    });
}
