// Object search, attribute reading and writing, object destruction.
#include <cstdint>
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

// Text values are read up to this many of the driver's bytes; the text made
// of them comes back whole, however it grows.
constexpr CK_ULONG kLongestTextValue = 9999;
constexpr std::size_t textBytes(CK_ULONG length) {
    return length < kLongestTextValue ? length : kLongestTextValue;
}
// Base64 text with its terminator.
constexpr std::size_t kBase64TextRoom = 10000;
// Blocks from this size on come from calloc, whose fresh pages are zero
// without being touched: a long value costs only the pages the driver writes.
// Smaller ones are cleared by hand, as calloc bypasses glibc's per-thread
// cache and costs several times as much there.
constexpr std::size_t kLargeBlock = 128 * 1024;

static_assert(sizeof(CK_ULONG) <= sizeof(std::size_t), "every reported length is a size");

// A block of `size` bytes whose first `zeroed` are zero, or null.
void* zeroedBlock(std::size_t size, std::size_t zeroed) noexcept {
    if (size >= kLargeBlock) return std::calloc(size, 1);
    void* block = std::malloc(size ? size : 1);
    if (block) std::memset(block, 0, zeroed);
    return block;
}

// The value buffers of one read, zeroed as far as the driver may write, so
// that a driver that reports a length and writes less shows zeros, never
// earlier contents of the heap. A text value's buffer also holds, behind
// the value, the room for its text. They live until the result is built.
struct ValueBuffers {
    void* values[std::size(kPublicKeyRead)] = {};
    CK_ULONG lengths[std::size(kPublicKeyRead)] = {};  // as allocated
    ~ValueBuffers() {
        for (void* value : values) std::free(value);
    }
};

}  // namespace

// String[] GetAttributeValue(long session, long object, String attribute)
extern "C" JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong object, jstring attribute) noexcept {
    using ValueText = TextResult<2, kBase64TextRoom>;
    return respond<ValueText, ValueBuffers>(env, [&](ValueText& out, ValueBuffers& buffers) -> Status {
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
        // A length marked unavailable on success is no length at all.
        for (CK_ULONG i = 0; i < count; ++i)
            if (read[i].ulValueLen == CK_UNAVAILABLE_INFORMATION) return Status(CKR_GENERAL_ERROR);
        for (CK_ULONG i = 0; i < count; ++i) {
            const CK_ULONG length = read[i].ulValueLen;
            const bool text = keyword && !keyword->base64 && i == keyword->position;
            const std::size_t textRoom = text ? convertedTextSize(textBytes(length)) : 0;
            if (length > SIZE_MAX - textRoom) return Status(CKR_HOST_MEMORY);
            buffers.values[i] = zeroedBlock(length + textRoom, length);
            if (!buffers.values[i]) return Status(CKR_HOST_MEMORY);
            buffers.lengths[i] = length;
            read[i].pValue = buffers.values[i];
        }
        rv = getAttributeValue.call(sessionHandle, objectHandle, read, count);
        if (rv != CKR_OK) return Status(rv);

        if (!keyword) return Status(kUnknownAttributeName);
        const std::size_t position = keyword->position;
        const CK_ATTRIBUTE& value = read[position];
        const CK_ULONG allocated = buffers.lengths[position];
        if (value.ulValueLen > allocated) return Status(CKR_GENERAL_ERROR);
        const auto* bytes = static_cast<const unsigned char*>(value.pValue);
        if (keyword->base64)
            return Status(out.setBase64(1, bytes, value.ulValueLen) ? CKR_OK : keyword->tooLong);
        char* text = static_cast<char*>(buffers.values[position]) + allocated;  // the room behind the value
        tokenTextToJava(bytes, textBytes(value.ulValueLen), text, convertedTextSize(textBytes(allocated)));
        out.setKeptText(1, text);
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
