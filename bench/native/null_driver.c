/* A PKCS#11 module that does next to nothing: every entry point the library
 * resolves answers at once from answers prepared when the module loads (the
 * same ones the benchmark scripts into the mock, answers.h), copying them out
 * with memcpy. No log, no lock, no heap. Against it a method's time is its
 * frame alone, which the benchmark compares with the floor beside the
 * mock-driver figure: the mock logs every call it receives, which costs
 * about as much as some floors.
 *
 * It also hands out its entry points through C_GetFunctionList.
 *
 * null_driver_configure(slots, found) sets how many slots and objects it
 * lists (the defaults are 4 and 100).
 */
#include <string.h>

#include "answers.h"

#define EXPORT __attribute__((visibility("default")))

static int slotCount = 4;
static int foundCount = 100;
static CK_TOKEN_INFO tokenInfo;
static unsigned char signature[ANSWER_SIGNATURE];
static unsigned char cipherText[ANSWER_CIPHER_TEXT];
static unsigned char plainText[ANSWER_PLAIN_TEXT];
static unsigned char wrappedKey[ANSWER_WRAPPED_KEY];
static unsigned char modulus[ANSWER_MODULUS];
static const unsigned char exponent[] = {1, 0, 1};
static const unsigned char yes[] = {CK_TRUE};
static CK_ULONG slotIds[100];
static CK_ULONG objectHandles[100];

__attribute__((constructor)) static void prepare(void) {
    answer_token_info(&tokenInfo);
    answer_fill(signature, sizeof signature, SEED_SIGN);
    answer_fill(cipherText, sizeof cipherText, SEED_ENCRYPT);
    answer_fill(plainText, sizeof plainText, SEED_DECRYPT);
    answer_fill(wrappedKey, sizeof wrappedKey, SEED_WRAP);
    answer_modulus(modulus, sizeof modulus);
    for (int i = 0; i < 100; ++i) {
        slotIds[i] = answer_slot_id(i);
        objectHandles[i] = answer_object_handle(i);
    }
}

EXPORT int null_driver_configure(int slots, int found) {
    if (slots < 0 || slots > 100 || found < 0 || found > 100) return -1;
    slotCount = slots;
    foundCount = found;
    return 0;
}

/* The length-then-value rule for an output buffer. */
static CK_RV give(const void* value, CK_ULONG size, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    if (!outLength) return CKR_ARGUMENTS_BAD;
    if (!out) {
        *outLength = size;
        return CKR_OK;
    }
    if (*outLength < size) {
        *outLength = size;
        return CKR_BUFFER_TOO_SMALL;
    }
    memcpy(out, value, size);
    *outLength = size;
    return CKR_OK;
}

static CK_RV handle(CK_ULONG value, CK_ULONG_PTR out) {
    if (!out) return CKR_ARGUMENTS_BAD;
    *out = value;
    return CKR_OK;
}

EXPORT CK_RV C_Initialize(void* args) {
    (void)args;
    return CKR_OK;
}

EXPORT CK_RV C_Finalize(void* reserved) {
    (void)reserved;
    return CKR_OK;
}

EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    (void)tokenPresent;
    if (!count) return CKR_ARGUMENTS_BAD;
    const CK_ULONG n = (CK_ULONG)slotCount;
    if (list) {
        if (*count < n) {
            *count = n;
            return CKR_BUFFER_TOO_SMALL;
        }
        memcpy(list, slotIds, n * sizeof *list);
    }
    *count = n;
    return CKR_OK;
}

EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    (void)slot;
    if (!info) return CKR_ARGUMENTS_BAD;
    memcpy(info, &tokenInfo, sizeof tokenInfo);
    return CKR_OK;
}

EXPORT CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                           CK_SESSION_HANDLE_PTR session) {
    (void)slot;
    (void)flags;
    (void)application;
    (void)notify;
    return handle(ANSWER_SESSION, session);
}

EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
    (void)session;
    return CKR_OK;
}

EXPORT CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    (void)session;
    (void)userType;
    (void)length;
    return pin ? CKR_OK : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_Logout(CK_SESSION_HANDLE session) {
    (void)session;
    return CKR_OK;
}

EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    (void)session;
    (void)object;
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        const void* value;
        CK_ULONG size;
        switch (attributes[i].type) {
            case CKA_MODULUS:
                value = modulus;
                size = sizeof modulus;
                break;
            case CKA_LABEL:
                value = ANSWER_LABEL;
                size = sizeof ANSWER_LABEL - 1;
                break;
            case CKA_PUBLIC_EXPONENT:
                value = exponent;
                size = sizeof exponent;
                break;
            case CKA_ENCRYPT:
            case CKA_WRAP:
                value = yes;
                size = 1;
                break;
            case CKA_VALUE:
                value = modulus;
                size = sizeof modulus;
                break;
            default:
                attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_ATTRIBUTE_TYPE_INVALID;
                continue;
        }
        if (attributes[i].pValue) {
            if (attributes[i].ulValueLen < size) {
                attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
                rv = CKR_BUFFER_TOO_SMALL;
                continue;
            }
            memcpy(attributes[i].pValue, value, size);
        }
        attributes[i].ulValueLen = size;
    }
    return rv;
}

EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                 CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    (void)session;
    (void)object;
    (void)count;
    return attributes ? CKR_OK : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    (void)session;
    (void)object;
    return CKR_OK;
}

EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    (void)session;
    (void)count;
    return attributes ? CKR_OK : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG maxCount,
                           CK_ULONG_PTR count) {
    (void)session;
    if (!objects || !count) return CKR_ARGUMENTS_BAD;
    const CK_ULONG n = (CK_ULONG)foundCount < maxCount ? (CK_ULONG)foundCount : maxCount;
    memcpy(objects, objectHandles, n * sizeof *objects);
    *count = n;
    return CKR_OK;
}

EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
    (void)session;
    return CKR_OK;
}

EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                               CK_ATTRIBUTE_PTR publicTemplate, CK_ULONG publicCount,
                               CK_ATTRIBUTE_PTR privateTemplate, CK_ULONG privateCount,
                               CK_OBJECT_HANDLE_PTR publicKey, CK_OBJECT_HANDLE_PTR privateKey) {
    (void)session;
    (void)mechanism;
    (void)publicTemplate;
    (void)publicCount;
    (void)privateTemplate;
    (void)privateCount;
    CK_RV rv = handle(ANSWER_PUBLIC_KEY, publicKey);
    return rv ? rv : handle(ANSWER_PRIVATE_KEY, privateKey);
}

EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_ATTRIBUTE_PTR attributes,
                           CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
    (void)session;
    (void)mechanism;
    (void)attributes;
    (void)count;
    return handle(ANSWER_SECRET_KEY, key);
}

EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    (void)session;
    (void)key;
    return mechanism ? CKR_OK : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                    CK_ULONG_PTR outLength) {
    (void)session;
    (void)data;
    (void)length;
    return give(signature, sizeof signature, out, outLength);
}

EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    (void)session;
    (void)key;
    return mechanism ? CKR_OK : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                       CK_ULONG_PTR outLength) {
    (void)session;
    (void)data;
    (void)length;
    return give(cipherText, sizeof cipherText, out, outLength);
}

EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    (void)session;
    (void)key;
    return mechanism ? CKR_OK : CKR_ARGUMENTS_BAD;
}

EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                       CK_ULONG_PTR outLength) {
    (void)session;
    (void)data;
    (void)length;
    return give(plainText, sizeof plainText, out, outLength);
}

EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE wrappingKey,
                       CK_OBJECT_HANDLE key, CK_BYTE_PTR wrapped, CK_ULONG_PTR wrappedLength) {
    (void)session;
    (void)mechanism;
    (void)wrappingKey;
    (void)key;
    return give(wrappedKey, sizeof wrappedKey, wrapped, wrappedLength);
}

EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                         CK_OBJECT_HANDLE unwrappingKey, CK_BYTE_PTR wrapped, CK_ULONG wrappedLength,
                         CK_ATTRIBUTE_PTR attributes, CK_ULONG count, CK_OBJECT_HANDLE_PTR key) {
    (void)session;
    (void)mechanism;
    (void)unwrappingKey;
    (void)wrappedLength;
    (void)attributes;
    (void)count;
    return wrapped ? handle(ANSWER_UNWRAPPED, key) : CKR_ARGUMENTS_BAD;
}

/* For the peers that bind a module through its function list (the JDK's
 * PKCS#11 wrapper): the entry points above; the rest stay null, and no peer
 * calls them. */
EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST functions = {
        .version = {2, 20},
        .C_Initialize = C_Initialize,
        .C_Finalize = C_Finalize,
        .C_GetSlotList = C_GetSlotList,
        .C_GetTokenInfo = C_GetTokenInfo,
        .C_OpenSession = C_OpenSession,
        .C_CloseSession = C_CloseSession,
        .C_Login = C_Login,
        .C_Logout = C_Logout,
        .C_GetAttributeValue = C_GetAttributeValue,
        .C_SetAttributeValue = C_SetAttributeValue,
        .C_DestroyObject = C_DestroyObject,
        .C_FindObjectsInit = C_FindObjectsInit,
        .C_FindObjects = C_FindObjects,
        .C_FindObjectsFinal = C_FindObjectsFinal,
        .C_GenerateKeyPair = C_GenerateKeyPair,
        .C_GenerateKey = C_GenerateKey,
        .C_SignInit = C_SignInit,
        .C_Sign = C_Sign,
        .C_EncryptInit = C_EncryptInit,
        .C_Encrypt = C_Encrypt,
        .C_DecryptInit = C_DecryptInit,
        .C_Decrypt = C_Decrypt,
        .C_WrapKey = C_WrapKey,
        .C_UnwrapKey = C_UnwrapKey,
    };
    if (!list) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}
