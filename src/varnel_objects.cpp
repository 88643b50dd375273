// Object search, attribute reading and writing, object destruction.
#include <cstdlib>
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
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        const bool needsLabel = searchKind == kByLabel || searchKind == kPrivateTokenObjectsByLabel;
        if (!label && needsLabel) return Status(kNullLabel);
        // A given label is fetched for every kind, used or not.
        Utf8Chars labelChars(env, label);
        if (label && !labelChars) return Status::jvmFailure();

        CK_BBOOL yes = CK_TRUE;
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE byLabel[] = {{CKA_LABEL, labelChars.bytes(), labelChars.length()}};
        CK_ATTRIBUTE privateTokenObjects[] = {{CKA_TOKEN, &yes, sizeof yes},
                                              {CKA_PRIVATE, &yes, sizeof yes},
                                              {CKA_LABEL, labelChars.bytes(), labelChars.length()}};
        CK_ATTRIBUTE certificates[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass}};

        const auto findObjectsInit = driver::FindObjectsInit();
        const CK_ULONG sessionHandle = handleFromJava(session);
        switch (searchKind) {
            case kByLabel:
                return Status(findObjectsInit.call(sessionHandle, byLabel, CK_ULONG{std::size(byLabel)}));
            case kPrivateTokenObjectsByLabel:
                return Status(findObjectsInit.call(sessionHandle, privateTokenObjects,
                                                   CK_ULONG{std::size(privateTokenObjects)}));
            case kAllCertificates:
                return Status(
                    findObjectsInit.call(sessionHandle, certificates, CK_ULONG{std::size(certificates)}));
            default:
                return Status(kUnknownSearchKind);
        }
    });
}

// String[] FindObjects(long session)
extern "C" JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjects(JNIEnv* env, jclass, jlong session) noexcept {
    return respond<TextResult<kHandlesPerCall + 1, kHandleTextSize>>(env, [&](auto& out, auto&) -> Status {
        CK_OBJECT_HANDLE handles[kHandlesPerCall] = {};
        CK_ULONG count = 0;
        CK_RV rv = driver::FindObjects().call(handleFromJava(session), handles, kHandlesPerCall, &count);
        if (rv == CKR_OK && count == 0) rv = kNoObjectFound;
        // A driver reporting more than it was asked for is read no further
        // than the buffer; its handles are shown whatever the status.
        const CK_ULONG shown = count < kHandlesPerCall ? count : kHandlesPerCall;
        out.setLength(static_cast<int>(shown + 1));
        for (CK_ULONG i = 0; i < shown; ++i) out.setHandle(static_cast<int>(i + 1), handles[i]);
        return Status(rv);
    });
}

// String FindObjectsFinal(long session)
extern "C" JNIEXPORT jstring JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsFinal(JNIEnv* env, jclass, jlong session) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        return Status(driver::FindObjectsFinal().call(handleFromJava(session)));
    });
}

namespace {

// Every keyword but "certificate" reads the five public-key attributes
// together, in this order.
constexpr CK_ATTRIBUTE_TYPE kPublicKeyRead[] = {CKA_MODULUS, CKA_LABEL, CKA_PUBLIC_EXPONENT, CKA_ENCRYPT,
                                                CKA_WRAP};
constexpr CK_ATTRIBUTE_TYPE kCertificateRead[] = {CKA_VALUE};

// What each keyword reads and how its value becomes text.
struct AttributeKeyword {
    const char* keyword;
    bool readsCertificate;
    std::size_t position;  // of the value in the template read
    bool base64;           // else text up to the first zero byte
    CK_RV tooLong;         // when the Base64 text does not fit
};

constexpr AttributeKeyword kAttributeKeywords[] = {
    {"modulus", false, 0, true, kModulusTooLong},
    {"label", false, 1, false, CKR_OK},
    {"exponent", false, 2, true, kExponentTooLong},
    {"encrypt", false, 3, false, CKR_OK},
    {"wrap", false, 4, false, CKR_OK},
    {"certificate", true, 0, true, kCertificateTooLong},
};

// Exact, case-sensitive matches only; null for an unknown keyword.
const AttributeKeyword* attributeKeyword(const char* name) noexcept {
    for (const auto& keyword : kAttributeKeywords)
        if (std::strcmp(name, keyword.keyword) == 0) return &keyword;
    return nullptr;
}

// A driver reporting more than this for one attribute is not believed.
constexpr CK_ULONG kLargestAttributeValue = CK_ULONG{1} << 20;
// Text values are read up to this many of the driver's bytes; the value text,
// Base64 or not, takes at most this many bytes with its terminator.
constexpr std::size_t kLongestTextValue = 9999;
constexpr std::size_t kValueTextRoom = 10000;

// The value buffers of one read, zeroed, so that a driver that reports a
// length and writes less shows zeros, never earlier contents of the heap;
// freed whichever way the call ends.
struct ValueBuffers {
    void* values[std::size(kPublicKeyRead)] = {};
    ~ValueBuffers() {
        for (void* value : values) std::free(value);
    }
};

}  // namespace

// String[] GetAttributeValue(long session, long object, String attribute)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong object, jstring attribute) noexcept {
    return respond<TextResult<2, kValueTextRoom>>(env, [&](auto& out, auto&) -> Status {
        if (!attribute) return Status(kNullAttributeName);
        Utf8Chars nameChars(env, attribute);
        if (!nameChars) return Status::jvmFailure();
        const AttributeKeyword* keyword = attributeKeyword(nameChars.get());

        const bool readsCertificate = keyword && keyword->readsCertificate;
        const CK_ATTRIBUTE_TYPE* types = readsCertificate ? kCertificateRead : kPublicKeyRead;
        const CK_ULONG count = readsCertificate ? std::size(kCertificateRead) : std::size(kPublicKeyRead);
        CK_ATTRIBUTE read[std::size(kPublicKeyRead)] = {};
        for (CK_ULONG i = 0; i < count; ++i) read[i].type = types[i];
        const CK_ULONG sessionHandle = handleFromJava(session);
        const CK_ULONG objectHandle = handleFromJava(object);

        const auto getAttributeValue = driver::GetAttributeValue();
        CK_RV rv = getAttributeValue.call(sessionHandle, objectHandle, read, count);
        if (rv != CKR_OK) return Status(rv);
        ValueBuffers buffers;
        CK_ULONG allocated[std::size(kPublicKeyRead)] = {};
        for (CK_ULONG i = 0; i < count; ++i)
            if (read[i].ulValueLen == CK_UNAVAILABLE_INFORMATION ||
                read[i].ulValueLen > kLargestAttributeValue)
                return Status(CKR_GENERAL_ERROR);
        for (CK_ULONG i = 0; i < count; ++i) {
            allocated[i] = read[i].ulValueLen;
            // malloc and memset rather than calloc, which bypasses glibc's
            // per-thread cache and costs several times as much.
            buffers.values[i] = std::malloc(allocated[i] ? allocated[i] : 1);
            if (!buffers.values[i]) return Status(CKR_HOST_MEMORY);
            std::memset(buffers.values[i], 0, allocated[i]);
            read[i].pValue = buffers.values[i];
        }
        rv = getAttributeValue.call(sessionHandle, objectHandle, read, count);
        if (rv != CKR_OK) return Status(rv);

        if (!keyword) return Status(kUnknownAttributeName);
        const CK_ATTRIBUTE& value = read[keyword->position];
        if (value.ulValueLen > allocated[keyword->position]) return Status(CKR_GENERAL_ERROR);
        const auto* bytes = static_cast<const unsigned char*>(value.pValue);
        if (keyword->base64)
            return Status(out.setBase64(1, bytes, value.ulValueLen) ? CKR_OK : keyword->tooLong);
        out.setTokenText(1, bytes,
                         value.ulValueLen < kLongestTextValue ? value.ulValueLen : kLongestTextValue);
        return Status::success();
    });
}

// String SetAttributeValue(long session, long firstObject, long secondObject, String label)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong firstObject, jlong secondObject, jstring label) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        if (!label) return Status(kNullLabel);
        Utf8Chars labelChars(env, label);
        if (!labelChars) return Status::jvmFailure();
        CK_ATTRIBUTE newLabel[] = {{CKA_LABEL, labelChars.bytes(), labelChars.length()}};
        const auto setAttributeValue = driver::SetAttributeValue();
        // Not a transaction: a failing second change keeps the first.
        CK_RV rv = setAttributeValue.call(handleFromJava(session), handleFromJava(firstObject), newLabel,
                                          CK_ULONG{std::size(newLabel)});
        if (rv != CKR_OK) return Status(rv);
        CK_ATTRIBUTE secondLabel[] = {newLabel[0]};
        return Status(setAttributeValue.call(handleFromJava(session), handleFromJava(secondObject),
                                             secondLabel, CK_ULONG{std::size(secondLabel)}));
    });
}

// String DestroyObject(long session, long object)
extern "C" JNIEXPORT jstring JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_DestroyObject(JNIEnv* env, jclass, jlong session, jlong object) noexcept {
    return respond<StatusResult>(env, [&](auto&, auto&) -> Status {
        return Status(driver::DestroyObject().call(handleFromJava(session), handleFromJava(object)));
    });
}
