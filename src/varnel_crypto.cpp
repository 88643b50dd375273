// Signing.
#include "base64.h"
#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "varnel.h"

using namespace varnel;

namespace {

constexpr CK_ULONG kSignatureRoom = 4096;
constexpr unsigned int kBase64Room = 10000;

// Checks a (data, length) pair from Java: the length must describe bytes the
// array really has, or the driver would read past it.
bool lengthFitsArray(JNIEnv* env, jbyteArray data, jint length) noexcept {
    return length >= 0 && length <= env->GetArrayLength(data);
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
        unsigned int base64Length = kBase64Room;
        if (signatureLength > kSignatureRoom ||
            base64Encode(signature, static_cast<int>(signatureLength), base64, &base64Length) != 0)
            return kSignatureTooLong;
        out.texts[1] = base64;
        return CKR_OK;
    }();
    return out.toJava(env);
}
