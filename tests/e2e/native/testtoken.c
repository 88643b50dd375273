/*
 * Native half of ka.tovik.selvo.jvarnel.e2e.TestToken: direct calls into the PKCS#11 module
 * that libVarnel has already loaded and initialised in this process, for what the end-to-end
 * cases must make or look at and the bridge offers no method for (a triple-DES key to wrap, a
 * block encrypted with it, an attribute's raw bytes), and the driver's own view
 * of what the bridge converts (the slot list, a token's CK_TOKEN_INFO, the objects of a class).
 *
 * The module is never loaded or initialised here: each call finds it with
 * dlopen(RTLD_NOLOAD), takes its function list, works with the session handle Varnel handed
 * out, and drops its reference again before returning. SoftHSM initialised without locking
 * functions must only be called from one thread; the cases call from the thread that calls
 * Varnel.
 *
 * A failed driver call throws TestToken.DriverError carrying the CK_RV; anything else that
 * goes wrong throws IllegalStateException.
 */
#include <dlfcn.h>
#include <jni.h>
#include <p11-kit/pkcs11.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DRIVER_ERROR_CLASS "ka/tovik/selvo/jvarnel/e2e/TestToken$DriverError"
#define LARGEST_ATTRIBUTE 65536
#define LARGEST_BLOCK 64
#define LARGEST_LIST 1024

struct module {
    void* library;
    CK_FUNCTION_LIST_PTR functions;
};

static void throw_state(JNIEnv* env, const char* message) {
    jclass type = (*env)->FindClass(env, "java/lang/IllegalStateException");
    if (type != NULL) {
        (*env)->ThrowNew(env, type, message);
    }
}

/* Throws DriverError(message naming the call and the CK_RV, rv). */
static void throw_driver_error(JNIEnv* env, const char* call, CK_RV rv) {
    char message[160];
    jclass type;
    jmethodID init;
    jstring text;
    jobject error;

    snprintf(message, sizeof message, "%s answered CK_RV 0x%lx (%lu)", call, (unsigned long)rv,
             (unsigned long)rv);
    type = (*env)->FindClass(env, DRIVER_ERROR_CLASS);
    if (type == NULL) {
        return;
    }
    init = (*env)->GetMethodID(env, type, "<init>", "(Ljava/lang/String;J)V");
    if (init == NULL) {
        return;
    }
    text = (*env)->NewStringUTF(env, message);
    if (text == NULL) {
        return;
    }
    error = (*env)->NewObject(env, type, init, text, (jlong)rv);
    if (error != NULL) {
        (*env)->Throw(env, (jthrowable)error);
    }
}

/* Finds the already loaded module at `path`; 0 with an exception pending when it cannot. */
static int bind_module(JNIEnv* env, jstring path, struct module* m) {
    char message[512];
    const char* chars;
    CK_C_GetFunctionList get_function_list;
    CK_RV rv;

    m->library = NULL;
    m->functions = NULL;
    if (path == NULL) {
        throw_state(env, "module path is null");
        return 0;
    }
    chars = (*env)->GetStringUTFChars(env, path, NULL);
    if (chars == NULL) {
        return 0;
    }
    m->library = dlopen(chars, RTLD_NOW | RTLD_NOLOAD);
    if (m->library == NULL) {
        snprintf(message, sizeof message, "%s is not loaded in this process: %s", chars, dlerror());
        (*env)->ReleaseStringUTFChars(env, path, chars);
        throw_state(env, message);
        return 0;
    }
    (*env)->ReleaseStringUTFChars(env, path, chars);

    *(void**)(&get_function_list) = dlsym(m->library, "C_GetFunctionList");
    if (get_function_list == NULL) {
        dlclose(m->library);
        throw_state(env, "the loaded module has no C_GetFunctionList");
        return 0;
    }
    rv = get_function_list(&m->functions);
    if (rv != CKR_OK || m->functions == NULL) {
        dlclose(m->library);
        throw_driver_error(env, "C_GetFunctionList", rv != CKR_OK ? rv : CKR_GENERAL_ERROR);
        return 0;
    }
    return 1;
}

static void unbind_module(struct module* m) { dlclose(m->library); }

static jbyteArray byte_array(JNIEnv* env, const void* bytes, size_t length) {
    jbyteArray result = (*env)->NewByteArray(env, (jsize)length);
    if (result != NULL) {
        (*env)->SetByteArrayRegion(env, result, 0, (jsize)length, (const jbyte*)bytes);
    }
    return result;
}

static jlongArray long_array(JNIEnv* env, const CK_ULONG* values, CK_ULONG count) {
    jlong copy[LARGEST_LIST];
    jlongArray result;
    CK_ULONG i;

    for (i = 0; i < count; i++) {
        copy[i] = (jlong)values[i];
    }
    result = (*env)->NewLongArray(env, (jsize)count);
    if (result != NULL) {
        (*env)->SetLongArrayRegion(env, result, 0, (jsize)count, copy);
    }
    return result;
}

/* long generateDes3Key(String module, long session, boolean extractable) */
JNIEXPORT jlong JNICALL Java_ka_tovik_selvo_jvarnel_e2e_TestToken_generateDes3Key(JNIEnv* env, jclass cls,
                                                                                  jstring module,
                                                                                  jlong session,
                                                                                  jboolean extractable) {
    struct module m;
    CK_MECHANISM mechanism = {CKM_DES3_KEY_GEN, NULL, 0};
    CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
    CK_KEY_TYPE des3 = CKK_DES3;
    CK_BBOOL yes = CK_TRUE;
    CK_BBOOL no = CK_FALSE;
    CK_BBOOL may_leave = extractable ? CK_TRUE : CK_FALSE;
    CK_ATTRIBUTE template[] = {
        {CKA_CLASS, &secret, sizeof secret},
        {CKA_KEY_TYPE, &des3, sizeof des3},
        {CKA_TOKEN, &no, sizeof no},
        {CKA_SENSITIVE, &no, sizeof no},
        {CKA_EXTRACTABLE, &may_leave, sizeof may_leave},
        {CKA_ENCRYPT, &yes, sizeof yes},
        {CKA_DECRYPT, &yes, sizeof yes},
    };
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    CK_RV rv;

    (void)cls;
    if (!bind_module(env, module, &m)) {
        return 0;
    }
    rv = m.functions->C_GenerateKey((CK_SESSION_HANDLE)session, &mechanism, template,
                                    sizeof template / sizeof template[0], &key);
    unbind_module(&m);
    if (rv != CKR_OK) {
        throw_driver_error(env, "C_GenerateKey(CKM_DES3_KEY_GEN)", rv);
        return 0;
    }
    return (jlong)key;
}

/* byte[] encryptDes3Ecb(String module, long session, long key, byte[] data) */
JNIEXPORT jbyteArray JNICALL Java_ka_tovik_selvo_jvarnel_e2e_TestToken_encryptDes3Ecb(
    JNIEnv* env, jclass cls, jstring module, jlong session, jlong key, jbyteArray data) {
    struct module m;
    CK_MECHANISM mechanism = {CKM_DES3_ECB, NULL, 0};
    CK_BYTE plain[LARGEST_BLOCK];
    CK_BYTE cipher[LARGEST_BLOCK];
    CK_ULONG cipher_length = sizeof cipher;
    jsize length;
    CK_RV rv;

    (void)cls;
    if (data == NULL) {
        throw_state(env, "data is null");
        return NULL;
    }
    length = (*env)->GetArrayLength(env, data);
    if (length == 0 || length > LARGEST_BLOCK || length % 8 != 0) {
        throw_state(env, "data must be 8 to 64 bytes, a whole number of DES blocks");
        return NULL;
    }
    (*env)->GetByteArrayRegion(env, data, 0, length, (jbyte*)plain);
    if (!bind_module(env, module, &m)) {
        return NULL;
    }
    rv = m.functions->C_EncryptInit((CK_SESSION_HANDLE)session, &mechanism, (CK_OBJECT_HANDLE)key);
    if (rv != CKR_OK) {
        unbind_module(&m);
        throw_driver_error(env, "C_EncryptInit(CKM_DES3_ECB)", rv);
        return NULL;
    }
    rv = m.functions->C_Encrypt((CK_SESSION_HANDLE)session, plain, (CK_ULONG)length, cipher, &cipher_length);
    unbind_module(&m);
    if (rv != CKR_OK) {
        throw_driver_error(env, "C_Encrypt(CKM_DES3_ECB)", rv);
        return NULL;
    }
    if (cipher_length != (CK_ULONG)length) {
        throw_state(env, "C_Encrypt(CKM_DES3_ECB) gave a cipher text longer or shorter than the data");
        return NULL;
    }
    return byte_array(env, cipher, (size_t)length);
}

/* byte[] attribute(String module, long session, long object, long type): the value's raw bytes */
JNIEXPORT jbyteArray JNICALL Java_ka_tovik_selvo_jvarnel_e2e_TestToken_attribute(JNIEnv* env, jclass cls,
                                                                                 jstring module,
                                                                                 jlong session, jlong object,
                                                                                 jlong type) {
    struct module m;
    CK_ATTRIBUTE attribute = {(CK_ATTRIBUTE_TYPE)type, NULL, 0};
    CK_BYTE* value;
    jbyteArray result;
    CK_RV rv;

    (void)cls;
    if (!bind_module(env, module, &m)) {
        return NULL;
    }
    rv =
        m.functions->C_GetAttributeValue((CK_SESSION_HANDLE)session, (CK_OBJECT_HANDLE)object, &attribute, 1);
    if (rv != CKR_OK) {
        unbind_module(&m);
        throw_driver_error(env, "C_GetAttributeValue (length)", rv);
        return NULL;
    }
    if (attribute.ulValueLen > LARGEST_ATTRIBUTE) {
        unbind_module(&m);
        throw_state(env, "C_GetAttributeValue reported an unavailable or implausibly long value");
        return NULL;
    }
    value = malloc(attribute.ulValueLen + 1);
    if (value == NULL) {
        unbind_module(&m);
        throw_state(env, "out of memory");
        return NULL;
    }
    attribute.pValue = value;
    rv =
        m.functions->C_GetAttributeValue((CK_SESSION_HANDLE)session, (CK_OBJECT_HANDLE)object, &attribute, 1);
    unbind_module(&m);
    if (rv != CKR_OK) {
        free(value);
        throw_driver_error(env, "C_GetAttributeValue (value)", rv);
        return NULL;
    }
    result = byte_array(env, value, attribute.ulValueLen);
    free(value);
    return result;
}

/* long[] slotList(String module, boolean tokenPresent) */
JNIEXPORT jlongArray JNICALL Java_ka_tovik_selvo_jvarnel_e2e_TestToken_slotList(JNIEnv* env, jclass cls,
                                                                                jstring module,
                                                                                jboolean tokenPresent) {
    struct module m;
    CK_SLOT_ID slots[LARGEST_LIST];
    CK_ULONG count = LARGEST_LIST;
    CK_RV rv;

    (void)cls;
    if (!bind_module(env, module, &m)) {
        return NULL;
    }
    rv = m.functions->C_GetSlotList(tokenPresent ? CK_TRUE : CK_FALSE, slots, &count);
    unbind_module(&m);
    if (rv != CKR_OK) {
        throw_driver_error(env, "C_GetSlotList", rv);
        return NULL;
    }
    if (count > LARGEST_LIST) {
        throw_state(env, "C_GetSlotList reported more slots than the list it was given holds");
        return NULL;
    }
    return long_array(env, slots, count);
}

/* byte[] tokenInfo(String module, long slot): the CK_TOKEN_INFO as the driver filled it in */
JNIEXPORT jbyteArray JNICALL Java_ka_tovik_selvo_jvarnel_e2e_TestToken_tokenInfo(JNIEnv* env, jclass cls,
                                                                                 jstring module, jlong slot) {
    struct module m;
    CK_TOKEN_INFO info;
    CK_RV rv;

    (void)cls;
    if (!bind_module(env, module, &m)) {
        return NULL;
    }
    memset(&info, 0, sizeof info);
    rv = m.functions->C_GetTokenInfo((CK_SLOT_ID)slot, &info);
    unbind_module(&m);
    if (rv != CKR_OK) {
        throw_driver_error(env, "C_GetTokenInfo", rv);
        return NULL;
    }
    return byte_array(env, &info, sizeof info);
}

/* long[] objectsOfClass(String module, long session, long objectClass): a whole C_FindObjects search */
JNIEXPORT jlongArray JNICALL Java_ka_tovik_selvo_jvarnel_e2e_TestToken_objectsOfClass(JNIEnv* env, jclass cls,
                                                                                      jstring module,
                                                                                      jlong session,
                                                                                      jlong objectClass) {
    struct module m;
    CK_OBJECT_CLASS wanted = (CK_OBJECT_CLASS)objectClass;
    CK_ATTRIBUTE template[] = {{CKA_CLASS, &wanted, sizeof wanted}};
    CK_OBJECT_HANDLE found[LARGEST_LIST];
    CK_ULONG count = 0;
    CK_ULONG got = 0;
    CK_RV rv;
    CK_RV final_rv;

    (void)cls;
    if (!bind_module(env, module, &m)) {
        return NULL;
    }
    rv = m.functions->C_FindObjectsInit((CK_SESSION_HANDLE)session, template, 1);
    if (rv != CKR_OK) {
        unbind_module(&m);
        throw_driver_error(env, "C_FindObjectsInit", rv);
        return NULL;
    }
    do {
        rv =
            m.functions->C_FindObjects((CK_SESSION_HANDLE)session, found + count, LARGEST_LIST - count, &got);
        count += rv == CKR_OK ? got : 0;
    } while (rv == CKR_OK && got > 0 && count < LARGEST_LIST);
    final_rv = m.functions->C_FindObjectsFinal((CK_SESSION_HANDLE)session);
    unbind_module(&m);
    if (rv != CKR_OK || final_rv != CKR_OK) {
        throw_driver_error(env, rv != CKR_OK ? "C_FindObjects" : "C_FindObjectsFinal",
                           rv != CKR_OK ? rv : final_rv);
        return NULL;
    }
    if (count == LARGEST_LIST) {
        throw_state(env, "the search found more objects than the helper holds");
        return NULL;
    }
    return long_array(env, found, count);
}
