// A PKCS#11 module that does next to nothing: every entry point the library
// resolves answers at once from answers made when the module loads, copying
// them out. No log, no lock, no heap. Against it a method's time is its frame
// alone. It also hands out its entry points through C_GetFunctionList, for
// the peers that bind a module that way (the JDK's PKCS#11 wrapper).
//
// Its answers: 4 slots, a token description like SoftHSM's, 100 objects
// found, a 256-byte modulus (label "bench-rsa", exponent 65537), 256-byte
// signatures, cipher texts and wrapped keys, 245 bytes of plain text.
#include <cstring>

#include "cryptoki.h"
#include "entry_point_list.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Answers {
    CK_TOKEN_INFO token{};
    unsigned char signature[256], cipherText[256], plainText[245], wrappedKey[256], modulus[256];
    CK_ULONG slots[4], objects[100];

    static void fill(unsigned char* bytes, size_t size, unsigned seed) {  // xorshift32
        unsigned x = seed * 2654435761u + 1;
        for (size_t i = 0; i < size; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            bytes[i] = static_cast<unsigned char>(x);
        }
    }
    static void padded(unsigned char* field, size_t size, const char* text) {
        std::memset(field, ' ', size);
        std::memcpy(field, text, std::strlen(text));
    }

    Answers() {
        padded(token.label, sizeof token.label, "varnel-bench");
        padded(token.manufacturerID, sizeof token.manufacturerID, "SoftHSM project");
        padded(token.model, sizeof token.model, "SoftHSM v2");
        padded(token.serialNumber, sizeof token.serialNumber, "28bdaa5aa8b97c3d");
        token.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
        token.ulMaxSessionCount = token.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        token.ulSessionCount = token.ulRwSessionCount = token.ulTotalPublicMemory = token.ulFreePublicMemory =
            token.ulTotalPrivateMemory = token.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
        token.ulMaxPinLen = 255;
        token.ulMinPinLen = 4;
        token.hardwareVersion = token.firmwareVersion = {2, 6};
        std::memcpy(token.utcTime, "2025010112000000", sizeof token.utcTime);
        fill(signature, sizeof signature, 1);
        fill(cipherText, sizeof cipherText, 2);
        fill(plainText, sizeof plainText, 3);
        fill(wrappedKey, sizeof wrappedKey, 4);
        fill(modulus, sizeof modulus, 7);
        modulus[0] |= 0x80;
        for (CK_ULONG i = 0; i < 4; ++i) slots[i] = 683485629 + i * 104729;
        for (CK_ULONG i = 0; i < 100; ++i) objects[i] = 2 + i;
    }
} const answers;

const unsigned char kExponent[] = {1, 0, 1};
const unsigned char kTrue[] = {CK_TRUE};
const char kLabel[] = "bench-rsa";

// The length-then-value rule of an output buffer.
CK_RV give(const void* value, CK_ULONG size, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    if (!outLength) return CKR_ARGUMENTS_BAD;
    const CK_ULONG room = *outLength;
    *outLength = size;
    if (!out) return CKR_OK;
    if (room < size) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(out, value, size);
    return CKR_OK;
}

CK_RV handle(CK_ULONG value, CK_ULONG_PTR out) {
    if (!out) return CKR_ARGUMENTS_BAD;
    *out = value;
    return CKR_OK;
}

}  // namespace

EXPORT CK_RV C_Initialize(void*) { return CKR_OK; }
EXPORT CK_RV C_Finalize(void*) { return CKR_OK; }
EXPORT CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (!count) return CKR_ARGUMENTS_BAD;
    const CK_ULONG room = *count;
    *count = 4;
    if (!list) return CKR_OK;
    if (room < 4) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(list, answers.slots, sizeof answers.slots);
    return CKR_OK;
}
EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO_PTR info) {
    if (!info) return CKR_ARGUMENTS_BAD;
    *info = answers.token;
    return CKR_OK;
}
EXPORT CK_RV C_OpenSession(CK_SLOT_ID, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    return handle(1, session);
}
EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE) { return CKR_OK; }
EXPORT CK_RV C_Login(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR pin, CK_ULONG) {
    return pin ? CKR_OK : CKR_ARGUMENTS_BAD;
}
EXPORT CK_RV C_Logout(CK_SESSION_HANDLE) { return CKR_OK; }

// The public key's attributes GetAttributeValue reads, and a certificate's value.
EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR attributes,
                                 CK_ULONG count) {
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& a = attributes[i];
        const void* value = answers.modulus;
        CK_ULONG size = sizeof answers.modulus;
        if (a.type == CKA_LABEL) {
            value = kLabel;
            size = sizeof kLabel - 1;
        } else if (a.type == CKA_PUBLIC_EXPONENT) {
            value = kExponent;
            size = sizeof kExponent;
        } else if (a.type == CKA_ENCRYPT || a.type == CKA_WRAP) {
            value = kTrue;
            size = 1;
        } else if (a.type != CKA_MODULUS && a.type != CKA_VALUE) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (a.pValue && a.ulValueLen < size) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            rv = CKR_BUFFER_TOO_SMALL;
            continue;
        }
        if (a.pValue) std::memcpy(a.pValue, value, size);
        a.ulValueLen = size;
    }
    return rv;
}
EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR attributes, CK_ULONG) {
    return attributes ? CKR_OK : CKR_ARGUMENTS_BAD;
}
EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return CKR_OK; }
EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR attributes, CK_ULONG) {
    return attributes ? CKR_OK : CKR_ARGUMENTS_BAD;
}
EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR objects, CK_ULONG most,
                           CK_ULONG_PTR count) {
    if (!objects || !count) return CKR_ARGUMENTS_BAD;
    *count = most < 100 ? most : 100;
    std::memcpy(objects, answers.objects, *count * sizeof *objects);
    return CKR_OK;
}
EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE) { return CKR_OK; }
EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                               CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR publicKey,
                               CK_OBJECT_HANDLE_PTR privateKey) {
    const CK_RV rv = handle(2, publicKey);
    return rv ? rv : handle(3, privateKey);
}
EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                           CK_OBJECT_HANDLE_PTR key) {
    return handle(4, key);
}
EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
    return mechanism ? CKR_OK : CKR_ARGUMENTS_BAD;
}
EXPORT CK_RV C_Sign(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return give(answers.signature, sizeof answers.signature, out, outLength);
}
EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
    return mechanism ? CKR_OK : CKR_ARGUMENTS_BAD;
}
EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return give(answers.cipherText, sizeof answers.cipherText, out, outLength);
}
EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE) {
    return mechanism ? CKR_OK : CKR_ARGUMENTS_BAD;
}
EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return give(answers.plainText, sizeof answers.plainText, out, outLength);
}
EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
                       CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLength) {
    return give(answers.wrappedKey, sizeof answers.wrappedKey, wrapped, wrappedLength);
}
EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR wrapped, CK_ULONG,
                         CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR key) {
    return wrapped ? handle(5, key) : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = [] {
        CK_FUNCTION_LIST f{};
        f.version = {2, 20};
#define SET(name, code) f.C_##name = C_##name;
        VARNEL_ENTRY_POINTS(SET)
#undef SET
        return f;
    }();
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}
