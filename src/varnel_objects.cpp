// Object search, attribute reading and writing, object destruction.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base64.h"
#include "entry_points.h"
#include "jni_frame.h"
#include "status_codes.h"
#include "token_text.h"
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

namespace {

// The attribute keywords, in the order they are tested.
enum class AttributeName { kModulus, kLabel, kExponent, kEncrypt, kWrap, kCertificate, kUnknown };

AttributeName attributeNamed(const char* name) noexcept {
    static const char* const kNames[] = {"modulus", "label", "exponent", "encrypt", "wrap", "certificate"};
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (std::strcmp(name, kNames[i]) == 0) return static_cast<AttributeName>(i);
    return AttributeName::kUnknown;
}

// A driver reporting more than this for one attribute is not believed.
constexpr CK_ULONG kLargestAttributeValue = CK_ULONG{1} << 20;
// Text values are read up to this many of the driver's bytes.
constexpr size_t kLongestTextValue = 9999;
constexpr unsigned int kBase64ValueRoom = 10000;

// The value buffers of one read, freed whichever way the call ends.
struct ValueBuffers {
    void* values[5] = {};
    ~ValueBuffers() {
        for (void* value : values) std::free(value);
    }
};

}  // namespace

// String[] GetAttributeValue(long session, long object, String attribute)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong object, jstring attribute) noexcept {
    char base64[kBase64ValueRoom];  // written by the encoder before it is read
    char text[convertedTextSize(kLongestTextValue)];
    ArrayResult<2> out;
    out.status = [&]() -> CK_RV {
        if (!attribute) return kNullAttributeName;
        Utf8Chars nameChars(env, attribute);
        if (!nameChars) return out.jvmFailure();
        const AttributeName name = attributeNamed(nameChars.get());

        // Every keyword but "certificate" reads the five public-key
        // attributes together, in this order.
        CK_ATTRIBUTE publicKey[] = {{CKA_MODULUS, nullptr, 0},
                                    {CKA_LABEL, nullptr, 0},
                                    {CKA_PUBLIC_EXPONENT, nullptr, 0},
                                    {CKA_ENCRYPT, nullptr, 0},
                                    {CKA_WRAP, nullptr, 0}};
        CK_ATTRIBUTE certificate[] = {{CKA_VALUE, nullptr, 0}};
        const bool readsCertificate = name == AttributeName::kCertificate;
        CK_ATTRIBUTE* read = readsCertificate ? certificate : publicKey;
        const CK_ULONG count = readsCertificate ? std::size(certificate) : std::size(publicKey);
        const CK_ULONG sessionHandle = handleFromJava(session);
        const CK_ULONG objectHandle = handleFromJava(object);

        CK_RV rv = callDriver(CP_GetAttributeValue, kMissingGetAttributeValue, sessionHandle, objectHandle, read,
                              count);
        if (rv != CKR_OK) return rv;
        ValueBuffers buffers;
        CK_ULONG allocated[std::size(publicKey)] = {};
        for (CK_ULONG i = 0; i < count; ++i)
            if (read[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || read[i].ulValueLen > kLargestAttributeValue)
                return CKR_GENERAL_ERROR;
        for (CK_ULONG i = 0; i < count; ++i) {
            allocated[i] = read[i].ulValueLen;
            buffers.values[i] = std::malloc(allocated[i] ? allocated[i] : 1);
            if (!buffers.values[i]) return CKR_HOST_MEMORY;
            read[i].pValue = buffers.values[i];
        }
        rv = CP_GetAttributeValue(sessionHandle, objectHandle, read, count);
        if (rv != CKR_OK) return rv;

        if (name == AttributeName::kUnknown) return kUnknownAttributeName;
        const size_t position = readsCertificate ? 0 : static_cast<size_t>(name);
        const CK_ATTRIBUTE& value = read[position];
        if (value.ulValueLen > allocated[position]) return CKR_GENERAL_ERROR;
        const auto* bytes = static_cast<const unsigned char*>(value.pValue);

        switch (name) {
            case AttributeName::kModulus:
            case AttributeName::kExponent:
            case AttributeName::kCertificate: {
                unsigned int base64Length = kBase64ValueRoom;
                if (base64Encode(bytes, static_cast<int>(value.ulValueLen), base64, &base64Length) != 0)
                    return name == AttributeName::kModulus    ? kModulusTooLong
                           : name == AttributeName::kExponent ? kExponentTooLong
                                                              : kCertificateTooLong;
                out.texts[1] = base64;
                return CKR_OK;
            }
            default:
                // Label and the two flags: text up to the first zero byte.
                tokenTextToJava(bytes, value.ulValueLen < kLongestTextValue ? value.ulValueLen : kLongestTextValue,
                                text);
                out.texts[1] = text;
                return CKR_OK;
        }
    }();
    return out.toJava(env);
}

// String SetAttributeValue(long session, long firstObject, long secondObject, String label)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong firstObject, jlong secondObject, jstring label) noexcept {
    StatusResult out;
    out.status = [&]() -> CK_RV {
        if (!label) return kNullLabel;
        Utf8Chars labelChars(env, label);
        if (!labelChars) return out.jvmFailure();
        CK_ATTRIBUTE newLabel[] = {{CKA_LABEL, const_cast<char*>(labelChars.get()),
                                    static_cast<CK_ULONG>(std::strlen(labelChars.get()))}};
        // Not a transaction: a failing second change keeps the first.
        CK_RV rv = callDriver(CP_SetAttributeValue, kMissingSetAttributeValue, handleFromJava(session),
                              handleFromJava(firstObject), newLabel, CK_ULONG{std::size(newLabel)});
        if (rv != CKR_OK) return rv;
        CK_ATTRIBUTE secondLabel[] = {newLabel[0]};
        return CP_SetAttributeValue(handleFromJava(session), handleFromJava(secondObject), secondLabel,
                                    CK_ULONG{std::size(secondLabel)});
    }();
    return out.toJava(env);
}

// String DestroyObject(long session, long object)
extern "C" JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_DestroyObject(JNIEnv* env, jclass,
                                                                                       jlong session,
                                                                                       jlong object) noexcept {
    return statusString(env, callDriver(CP_DestroyObject, kMissingDestroyObject, handleFromJava(session),
                                        handleFromJava(object)));
}
