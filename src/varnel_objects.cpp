// Object search.
#include <cstring>
#include <iterator>

#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "varnel.h"

using namespace varnel;

namespace {

constexpr CK_ULONG kHandlesPerCall = 100;

enum SearchKind : jint { kByLabel = 0, kPrivateTokenObjectsByLabel = 1, kAllCertificates = 2 };

}  // namespace

// String FindObjectsInit(long session, String label, int searchKind)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(
    JNIEnv* env, jclass, jlong session, jstring label, jint searchKind) noexcept {
    StatusResult out;
    out.status = [&]() -> CK_RV {
        const bool needsLabel = searchKind == kByLabel || searchKind == kPrivateTokenObjectsByLabel;
        if (!label && needsLabel) return kNullLabel;
        // A given label is fetched for every kind, used or not.
        Utf8Chars labelChars(env, label);
        if (label && !labelChars) return out.jvmFailure();

        CK_BBOOL yes = CK_TRUE;
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        void* labelBytes = const_cast<char*>(labelChars.get());
        const CK_ULONG labelLength = label ? static_cast<CK_ULONG>(std::strlen(labelChars.get())) : 0;
        CK_ATTRIBUTE byLabel[] = {{CKA_LABEL, labelBytes, labelLength}};
        CK_ATTRIBUTE privateTokenObjects[] = {
            {CKA_TOKEN, &yes, sizeof yes}, {CKA_PRIVATE, &yes, sizeof yes}, {CKA_LABEL, labelBytes, labelLength}};
        CK_ATTRIBUTE certificates[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass}};

        const CK_ULONG sessionHandle = handleFromJava(session);
        switch (searchKind) {
            case kByLabel:
                return callDriver(CP_FindObjectsInit, kMissingFindObjectsInit, sessionHandle, byLabel,
                                  CK_ULONG{std::size(byLabel)});
            case kPrivateTokenObjectsByLabel:
                return callDriver(CP_FindObjectsInit, kMissingFindObjectsInit, sessionHandle, privateTokenObjects,
                                  CK_ULONG{std::size(privateTokenObjects)});
            case kAllCertificates:
                return callDriver(CP_FindObjectsInit, kMissingFindObjectsInit, sessionHandle, certificates,
                                  CK_ULONG{std::size(certificates)});
            default:
                return kUnknownSearchKind;
        }
    }();
    return out.toJava(env);
}

// String[] FindObjects(long session)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjects(JNIEnv* env, jclass,
                                                                                          jlong session) noexcept {
    CK_OBJECT_HANDLE handles[kHandlesPerCall] = {};
    char handleTexts[kHandlesPerCall][kHandleTextSize];
    CK_ULONG count = 0;
    ArrayResult<kHandlesPerCall + 1> out;
    out.status = [&]() -> CK_RV {
        CK_RV rv = callDriver(CP_FindObjects, kMissingFindObjects, handleFromJava(session), handles,
                              kHandlesPerCall, &count);
        if (rv != CKR_OK) return rv;
        return count == 0 ? kNoObjectFound : CKR_OK;
    }();
    // A driver reporting more than it was asked for is read no further than
    // the buffer.
    const CK_ULONG shown = count < kHandlesPerCall ? count : kHandlesPerCall;
    out.length = static_cast<int>(shown + 1);
    for (CK_ULONG i = 0; i < shown; ++i) {
        formatHandle(handleTexts[i], handles[i]);
        out.texts[i + 1] = handleTexts[i];
    }
    return out.toJava(env);
}

// String FindObjectsFinal(long session)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsFinal(JNIEnv* env, jclass,
                                                                                          jlong session) noexcept {
    return statusString(env, callDriver(CP_FindObjectsFinal, kMissingFindObjectsFinal, handleFromJava(session)));
}
