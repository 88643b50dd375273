/* The benchmark's floor: for each native method of JVarnel, a native method of
 * ka.tovik.selvo.jvarnel.bench.Floor with the same signature that makes
 * exactly the JNI calls the library makes for it on its success path (the same
 * acquisitions and releases in the same order, FindClass, NewStringUTF(""),
 * NewObjectArray, one NewStringUTF and SetObjectArrayElement per element) and
 * nothing else: no driver call, no formatting, no Base64. The strings it makes
 * are the library's own answers, handed over once by floor_set_texts, so their
 * lengths and contents match.
 *
 * The same library also drives the mock module for the benchmark: it scripts
 * sticky answers, clears the mock's call log between timed batches, and times
 * the mock's own entry points called as the library calls them
 * (floor_mock_cost), so the driver's share of a method's time is known.
 */
#include "floor.h"

#include <dlfcn.h>
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "answers.h"
#include "mock_control.h"

/* ---- the texts each method answers with (element 0 is the status) ---- */

#define FLOOR_MOST_TEXTS 101

static char* texts[FLOOR_METHOD_COUNT][FLOOR_MOST_TEXTS];
static int textCounts[FLOOR_METHOD_COUNT];

int floor_set_texts(int method, const char* const* values, int count) {
    if (method < 0 || method >= FLOOR_METHOD_COUNT || count < 1 || count > FLOOR_MOST_TEXTS) return -1;
    for (int i = 0; i < textCounts[method]; ++i) {
        free(texts[method][i]);
        texts[method][i] = NULL;
    }
    textCounts[method] = 0;
    for (int i = 0; i < count; ++i) {
        size_t length = strlen(values[i]);
        texts[method][i] = malloc(length + 1);
        if (!texts[method][i]) return -1;
        memcpy(texts[method][i], values[i], length + 1);
    }
    textCounts[method] = count;
    return 0;
}

/* What StatusResult::toJava does. */
static jstring statusText(JNIEnv* env, int method) {
    return textCounts[method] ? (*env)->NewStringUTF(env, texts[method][0]) : NULL;
}

/* What ArrayResult::toJava does. */
static jobjectArray arrayOfTexts(JNIEnv* env, int method) {
    jclass stringClass = (*env)->FindClass(env, "java/lang/String");
    if (!stringClass) return NULL;
    jstring empty = (*env)->NewStringUTF(env, "");
    if (!empty) return NULL;
    const int length = textCounts[method];
    jobjectArray array = (*env)->NewObjectArray(env, length, stringClass, empty);
    if (!array) return NULL;
    for (int i = 0; i < length; ++i) {
        jstring element = (*env)->NewStringUTF(env, texts[method][i]);
        if (!element) return NULL;
        (*env)->SetObjectArrayElement(env, array, i, element);
    }
    return array;
}

/* ---- the mirrored native methods ---- */

#define FLOOR(name) Java_ka_tovik_selvo_jvarnel_bench_Floor_##name

/* LoadDriver's floor: dlopen and the 24 dlsym, nothing else. */
static const char* const kEntryPointNames[24] = {"C_Initialize",
                                                 "C_Finalize",
                                                 "C_GetSlotList",
                                                 "C_OpenSession",
                                                 "C_Login",
                                                 "C_CloseSession",
                                                 "C_GetAttributeValue",
                                                 "C_SetAttributeValue",
                                                 "C_GenerateKeyPair",
                                                 "C_FindObjectsFinal",
                                                 "C_FindObjects",
                                                 "C_FindObjectsInit",
                                                 "C_Sign",
                                                 "C_SignInit",
                                                 "C_Logout",
                                                 "C_GetTokenInfo",
                                                 "C_DestroyObject",
                                                 "C_EncryptInit",
                                                 "C_Encrypt",
                                                 "C_DecryptInit",
                                                 "C_Decrypt",
                                                 "C_UnwrapKey",
                                                 "C_WrapKey",
                                                 "C_GenerateKey"};
static void* volatile boundEntryPoints[24];

JNIEXPORT jstring JNICALL FLOOR(LoadDriver)(JNIEnv* env, jclass cls, jstring path) {
    (void)cls;
    const char* chars = (*env)->GetStringUTFChars(env, path, NULL);
    if (!chars) return NULL;
    void* module = dlopen(chars, RTLD_NOW);
    for (int i = 0; module && i < 24; ++i) boundEntryPoints[i] = dlsym(module, kEntryPointNames[i]);
    (*env)->ReleaseStringUTFChars(env, path, chars);
    return module ? statusText(env, FLOOR_LOAD_DRIVER) : (*env)->NewStringUTF(env, "10001");
}

JNIEXPORT jstring JNICALL FLOOR(Initialize)(JNIEnv* env, jclass cls) {
    (void)cls;
    return statusText(env, FLOOR_INITIALIZE);
}

JNIEXPORT jstring JNICALL FLOOR(Finalize)(JNIEnv* env, jclass cls) {
    (void)cls;
    return statusText(env, FLOOR_FINALIZE);
}

JNIEXPORT jobjectArray JNICALL FLOOR(GetVersion)(JNIEnv* env, jclass cls) {
    (void)cls;
    return arrayOfTexts(env, FLOOR_GET_VERSION);
}

JNIEXPORT jobjectArray JNICALL FLOOR(GetSlotList)(JNIEnv* env, jclass cls, jint tokenPresent) {
    (void)cls;
    (void)tokenPresent;
    return arrayOfTexts(env, FLOOR_GET_SLOT_LIST);
}

JNIEXPORT jobjectArray JNICALL FLOOR(GetTokenInfo)(JNIEnv* env, jclass cls, jint slot) {
    (void)cls;
    (void)slot;
    return arrayOfTexts(env, FLOOR_GET_TOKEN_INFO);
}

JNIEXPORT jobjectArray JNICALL FLOOR(OpenSession)(JNIEnv* env, jclass cls, jint slot, jint flags) {
    (void)cls;
    (void)slot;
    (void)flags;
    return arrayOfTexts(env, FLOOR_OPEN_SESSION);
}

/* A string argument fetched and given back, then the status. */
static jstring statusAfterString(JNIEnv* env, jstring string, int method) {
    const char* chars = (*env)->GetStringUTFChars(env, string, NULL);
    if (!chars) return NULL;
    (*env)->ReleaseStringUTFChars(env, string, chars);
    return statusText(env, method);
}

JNIEXPORT jstring JNICALL FLOOR(Login)(JNIEnv* env, jclass cls, jlong session, jint userType, jstring pin) {
    (void)cls;
    (void)session;
    (void)userType;
    return statusAfterString(env, pin, FLOOR_LOGIN);
}

JNIEXPORT jstring JNICALL FLOOR(LogOut)(JNIEnv* env, jclass cls, jlong session) {
    (void)cls;
    (void)session;
    return statusText(env, FLOOR_LOG_OUT);
}

JNIEXPORT jstring JNICALL FLOOR(CloseSession)(JNIEnv* env, jclass cls, jlong session) {
    (void)cls;
    (void)session;
    return statusText(env, FLOOR_CLOSE_SESSION);
}

JNIEXPORT jstring JNICALL FLOOR(FindObjectsInit)(JNIEnv* env, jclass cls, jlong session, jstring label,
                                                 jint kind) {
    (void)cls;
    (void)session;
    (void)kind;
    return statusAfterString(env, label, FLOOR_FIND_OBJECTS_INIT);
}

JNIEXPORT jobjectArray JNICALL FLOOR(FindObjects)(JNIEnv* env, jclass cls, jlong session) {
    (void)cls;
    (void)session;
    return arrayOfTexts(env, FLOOR_FIND_OBJECTS);
}

JNIEXPORT jstring JNICALL FLOOR(FindObjectsFinal)(JNIEnv* env, jclass cls, jlong session) {
    (void)cls;
    (void)session;
    return statusText(env, FLOOR_FIND_OBJECTS_FINAL);
}

JNIEXPORT jobjectArray JNICALL FLOOR(GetAttributeValue)(JNIEnv* env, jclass cls, jlong session, jlong object,
                                                        jstring attribute) {
    (void)cls;
    (void)session;
    (void)object;
    const char* chars = (*env)->GetStringUTFChars(env, attribute, NULL);
    if (!chars) return NULL;
    (*env)->ReleaseStringUTFChars(env, attribute, chars);
    return arrayOfTexts(env, FLOOR_GET_ATTRIBUTE_VALUE);
}

JNIEXPORT jstring JNICALL FLOOR(SetAttributeValue)(JNIEnv* env, jclass cls, jlong session, jlong first,
                                                   jlong second, jstring label) {
    (void)cls;
    (void)session;
    (void)first;
    (void)second;
    return statusAfterString(env, label, FLOOR_SET_ATTRIBUTE_VALUE);
}

JNIEXPORT jstring JNICALL FLOOR(DestroyObject)(JNIEnv* env, jclass cls, jlong session, jlong object) {
    (void)cls;
    (void)session;
    (void)object;
    return statusText(env, FLOOR_DESTROY_OBJECT);
}

JNIEXPORT jobjectArray JNICALL FLOOR(GenerateKeyPair)(JNIEnv* env, jclass cls, jlong session, jstring label,
                                                      jint bits, jbyteArray exponent, jint exponentLength) {
    (void)cls;
    (void)session;
    (void)bits;
    (void)exponentLength;
    (void)(*env)->GetArrayLength(env, exponent);
    jbyte* bytes = (*env)->GetByteArrayElements(env, exponent, NULL);
    if (!bytes) return NULL;
    const char* chars = (*env)->GetStringUTFChars(env, label, NULL);
    if (!chars) {
        (*env)->ReleaseByteArrayElements(env, exponent, bytes, JNI_ABORT);
        return NULL;
    }
    (*env)->ReleaseStringUTFChars(env, label, chars);
    (*env)->ReleaseByteArrayElements(env, exponent, bytes, JNI_ABORT);
    return arrayOfTexts(env, FLOOR_GENERATE_KEY_PAIR);
}

JNIEXPORT jobjectArray JNICALL FLOOR(GenerateKey)(JNIEnv* env, jclass cls, jlong session, jint ignored) {
    (void)cls;
    (void)session;
    (void)ignored;
    return arrayOfTexts(env, FLOOR_GENERATE_KEY);
}

JNIEXPORT jstring JNICALL FLOOR(SignInit)(JNIEnv* env, jclass cls, jlong session, jlong key) {
    (void)cls;
    (void)session;
    (void)key;
    return statusText(env, FLOOR_SIGN_INIT);
}

/* Sign, Encrypt and Decrypt: the length checked against the array, its
 * elements taken and given back unwritten, then the answer. */
static jobjectArray arrayAfterBytes(JNIEnv* env, jbyteArray data, int method) {
    (void)(*env)->GetArrayLength(env, data);
    jbyte* bytes = (*env)->GetByteArrayElements(env, data, NULL);
    if (!bytes) return NULL;
    (*env)->ReleaseByteArrayElements(env, data, bytes, JNI_ABORT);
    return arrayOfTexts(env, method);
}

JNIEXPORT jobjectArray JNICALL FLOOR(Sign)(JNIEnv* env, jclass cls, jlong session, jbyteArray data,
                                           jint length) {
    (void)cls;
    (void)session;
    (void)length;
    return arrayAfterBytes(env, data, FLOOR_SIGN);
}

JNIEXPORT jstring JNICALL FLOOR(EncryptInit)(JNIEnv* env, jclass cls, jlong session, jlong key,
                                             jstring name) {
    (void)cls;
    (void)session;
    (void)key;
    return statusAfterString(env, name, FLOOR_ENCRYPT_INIT);
}

JNIEXPORT jobjectArray JNICALL FLOOR(Encrypt)(JNIEnv* env, jclass cls, jlong session, jbyteArray data,
                                              jint length) {
    (void)cls;
    (void)session;
    (void)length;
    return arrayAfterBytes(env, data, FLOOR_ENCRYPT);
}

JNIEXPORT jstring JNICALL FLOOR(DecryptInit)(JNIEnv* env, jclass cls, jlong session, jlong key,
                                             jstring name) {
    (void)cls;
    (void)session;
    (void)key;
    return statusAfterString(env, name, FLOOR_DECRYPT_INIT);
}

JNIEXPORT jobjectArray JNICALL FLOOR(Decrypt)(JNIEnv* env, jclass cls, jlong session, jbyteArray data,
                                              jint length) {
    (void)cls;
    (void)session;
    (void)length;
    return arrayAfterBytes(env, data, FLOOR_DECRYPT);
}

JNIEXPORT jobjectArray JNICALL FLOOR(WrapKey)(JNIEnv* env, jclass cls, jlong session, jstring name,
                                              jlong wrappingKey, jlong key) {
    (void)cls;
    (void)session;
    (void)wrappingKey;
    (void)key;
    const char* chars = (*env)->GetStringUTFChars(env, name, NULL);
    if (!chars) return NULL;
    (*env)->ReleaseStringUTFChars(env, name, chars);
    return arrayOfTexts(env, FLOOR_WRAP_KEY);
}

JNIEXPORT jobjectArray JNICALL FLOOR(UnwrapKey)(JNIEnv* env, jclass cls, jlong session, jstring wrapped,
                                                jlong unwrappingKey, jstring name) {
    (void)cls;
    (void)session;
    (void)unwrappingKey;
    /* The keyword is read and given back before the wrapped key is read. */
    const char* nameChars = (*env)->GetStringUTFChars(env, name, NULL);
    if (!nameChars) return NULL;
    (*env)->ReleaseStringUTFChars(env, name, nameChars);
    const char* wrappedChars = (*env)->GetStringUTFChars(env, wrapped, NULL);
    if (!wrappedChars) return NULL;
    (*env)->ReleaseStringUTFChars(env, wrapped, wrappedChars);
    return arrayOfTexts(env, FLOOR_UNWRAP_KEY);
}

/* ---- the mock module: sticky answers, log clearing, its own cost ---- */

static struct {
    void (*reset)(void);
    void (*script)(const char*, CK_RV);
    void (*handles)(const CK_ULONG*, size_t);
    void (*value)(const unsigned char*, size_t);
    void (*sticky)(void);
    CK_FUNCTION_LIST entry; /* the mock's C_ functions, as the library resolves them */
} mock;

static struct FloorMockConfig config;

#define RESOLVE(slot, name)                       \
    do {                                          \
        *(void**)(&(slot)) = dlsym(module, name); \
        if (!(slot)) return -1;                   \
    } while (0)

int floor_mock_open(const char* path) {
    /* The same path the library loaded: dlopen hands back the same module. */
    void* module = dlopen(path, RTLD_NOW);
    if (!module) return -1;
    RESOLVE(mock.reset, "mock_reset");
    RESOLVE(mock.script, "mock_script");
    RESOLVE(mock.handles, "mock_script_handles");
    RESOLVE(mock.value, "mock_script_value");
    RESOLVE(mock.sticky, "mock_script_sticky");
    RESOLVE(mock.entry.C_Initialize, "C_Initialize");
    RESOLVE(mock.entry.C_Finalize, "C_Finalize");
    RESOLVE(mock.entry.C_GetSlotList, "C_GetSlotList");
    RESOLVE(mock.entry.C_GetTokenInfo, "C_GetTokenInfo");
    RESOLVE(mock.entry.C_OpenSession, "C_OpenSession");
    RESOLVE(mock.entry.C_CloseSession, "C_CloseSession");
    RESOLVE(mock.entry.C_Login, "C_Login");
    RESOLVE(mock.entry.C_Logout, "C_Logout");
    RESOLVE(mock.entry.C_GetAttributeValue, "C_GetAttributeValue");
    RESOLVE(mock.entry.C_SetAttributeValue, "C_SetAttributeValue");
    RESOLVE(mock.entry.C_DestroyObject, "C_DestroyObject");
    RESOLVE(mock.entry.C_FindObjectsInit, "C_FindObjectsInit");
    RESOLVE(mock.entry.C_FindObjects, "C_FindObjects");
    RESOLVE(mock.entry.C_FindObjectsFinal, "C_FindObjectsFinal");
    RESOLVE(mock.entry.C_GenerateKeyPair, "C_GenerateKeyPair");
    RESOLVE(mock.entry.C_GenerateKey, "C_GenerateKey");
    RESOLVE(mock.entry.C_SignInit, "C_SignInit");
    RESOLVE(mock.entry.C_Sign, "C_Sign");
    RESOLVE(mock.entry.C_EncryptInit, "C_EncryptInit");
    RESOLVE(mock.entry.C_Encrypt, "C_Encrypt");
    RESOLVE(mock.entry.C_DecryptInit, "C_DecryptInit");
    RESOLVE(mock.entry.C_Decrypt, "C_Decrypt");
    RESOLVE(mock.entry.C_WrapKey, "C_WrapKey");
    RESOLVE(mock.entry.C_UnwrapKey, "C_UnwrapKey");
    return 0;
}

static void stickyOk(const char* function) {
    mock.script(function, CKR_OK);
    mock.sticky();
}

static void stickyHandles(const char* function, const CK_ULONG* handles, size_t count) {
    mock.script(function, CKR_OK);
    mock.handles(handles, count);
    mock.sticky();
}

static void stickyBytes(const char* function, size_t size, uint32_t seed) {
    unsigned char bytes[4096];
    answer_fill(bytes, size, seed);
    mock.script(function, CKR_OK);
    mock.value(bytes, size);
    mock.sticky();
}

/* Scripts every entry point with its sticky answer (answers.h), listing
 * `config`'s counts of slots and objects. */
static void scriptAll(void) {
    static const char* const plain[] = {"C_Initialize",       "C_Finalize",          "C_Login",
                                        "C_Logout",           "C_CloseSession",      "C_FindObjectsInit",
                                        "C_FindObjectsFinal", "C_SetAttributeValue", "C_DestroyObject",
                                        "C_SignInit",         "C_EncryptInit",       "C_DecryptInit"};
    for (size_t i = 0; i < sizeof plain / sizeof plain[0]; ++i) stickyOk(plain[i]);

    CK_ULONG handles[100];
    for (int i = 0; i < config.slots; ++i) handles[i] = answer_slot_id(i);
    stickyHandles("C_GetSlotList", handles, (size_t)config.slots);
    for (int i = 0; i < config.found; ++i) handles[i] = answer_object_handle(i);
    stickyHandles("C_FindObjects", handles, (size_t)config.found);
    CK_ULONG session = ANSWER_SESSION;
    stickyHandles("C_OpenSession", &session, 1);
    CK_ULONG pair[2] = {ANSWER_PUBLIC_KEY, ANSWER_PRIVATE_KEY};
    stickyHandles("C_GenerateKeyPair", pair, 2);
    CK_ULONG key = ANSWER_SECRET_KEY;
    stickyHandles("C_GenerateKey", &key, 1);
    CK_ULONG unwrapped = ANSWER_UNWRAPPED;
    stickyHandles("C_UnwrapKey", &unwrapped, 1);

    CK_TOKEN_INFO info;
    answer_token_info(&info);
    mock.script("C_GetTokenInfo", CKR_OK);
    mock.value((const unsigned char*)&info, sizeof info);
    mock.sticky();

    /* The five public-key attributes GetAttributeValue reads, in its order. */
    unsigned char modulus[ANSWER_MODULUS];
    answer_modulus(modulus, sizeof modulus);
    static const unsigned char exponent[] = {1, 0, 1};
    static const unsigned char yes[] = {CK_TRUE};
    mock.script("C_GetAttributeValue", CKR_OK);
    mock.value(modulus, sizeof modulus);
    mock.value((const unsigned char*)ANSWER_LABEL, sizeof ANSWER_LABEL - 1);
    mock.value(exponent, sizeof exponent);
    mock.value(yes, 1);
    mock.value(yes, 1);
    mock.sticky();

    stickyBytes("C_Sign", ANSWER_SIGNATURE, SEED_SIGN);
    stickyBytes("C_Encrypt", ANSWER_CIPHER_TEXT, SEED_ENCRYPT);
    stickyBytes("C_Decrypt", ANSWER_PLAIN_TEXT, SEED_DECRYPT);
    stickyBytes("C_WrapKey", ANSWER_WRAPPED_KEY, SEED_WRAP);
}

int floor_mock_configure(const struct FloorMockConfig* newConfig) {
    if (newConfig->slots < 0 || newConfig->slots > 100 || newConfig->found < 0 || newConfig->found > 100)
        return -1;
    config = *newConfig;
    mock.reset();
    scriptAll();
    return 0;
}

void floor_mock_clear(void) {
    mock.reset();
    scriptAll();
}

static int64_t nowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* Buffers the driver calls below write into, as large as the library's. */
static CK_BYTE outputBuffer[10000];
static CK_BYTE inputBuffer[10000];
static CK_ULONG listBuffer[100];
static unsigned char attributeBuffers[5][4096];

/* The driver calls one call of `method` makes, with the library's arguments. */
static CK_RV driverCalls(int method, CK_ULONG inputLength) {
    CK_FUNCTION_LIST* f = &mock.entry;
    CK_RV rv = CKR_OK;
    CK_ULONG length = 0;
    CK_MECHANISM rsa = {CKM_RSA_PKCS, NULL, 0};
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE label[] = {{CKA_LABEL, "bench-rsa", 9}};
    switch (method) {
        case FLOOR_INITIALIZE:
            return f->C_Initialize(NULL);
        case FLOOR_FINALIZE:
            return f->C_Finalize(NULL);
        case FLOOR_GET_VERSION:
            return CKR_OK;
        case FLOOR_GET_SLOT_LIST:
            rv = f->C_GetSlotList(CK_TRUE, NULL, &length);
            return rv ? rv : f->C_GetSlotList(CK_TRUE, listBuffer, &length);
        case FLOOR_GET_TOKEN_INFO: {
            CK_TOKEN_INFO info;
            memset(&info, 0, sizeof info);
            return f->C_GetTokenInfo(answer_slot_id(0), &info);
        }
        case FLOOR_OPEN_SESSION: {
            CK_SESSION_HANDLE session = 0;
            return f->C_OpenSession(answer_slot_id(0), CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL, NULL,
                                    &session);
        }
        case FLOOR_LOGIN:
            return f->C_Login(1, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4);
        case FLOOR_LOG_OUT:
            return f->C_Logout(1);
        case FLOOR_CLOSE_SESSION:
            return f->C_CloseSession(1);
        case FLOOR_FIND_OBJECTS_INIT:
            return f->C_FindObjectsInit(1, label, 1);
        case FLOOR_FIND_OBJECTS:
            return f->C_FindObjects(1, listBuffer, 100, &length);
        case FLOOR_FIND_OBJECTS_FINAL:
            return f->C_FindObjectsFinal(1);
        case FLOOR_GET_ATTRIBUTE_VALUE: {
            CK_ATTRIBUTE read[] = {{CKA_MODULUS, NULL, 0},
                                   {CKA_LABEL, NULL, 0},
                                   {CKA_PUBLIC_EXPONENT, NULL, 0},
                                   {CKA_ENCRYPT, NULL, 0},
                                   {CKA_WRAP, NULL, 0}};
            rv = f->C_GetAttributeValue(1, 2, read, 5);
            if (rv) return rv;
            for (int i = 0; i < 5; ++i) read[i].pValue = attributeBuffers[i];
            return f->C_GetAttributeValue(1, 2, read, 5);
        }
        case FLOOR_SET_ATTRIBUTE_VALUE:
            rv = f->C_SetAttributeValue(1, 2, label, 1);
            return rv ? rv : f->C_SetAttributeValue(1, 3, label, 1);
        case FLOOR_DESTROY_OBJECT:
            return f->C_DestroyObject(1, 2);
        case FLOOR_GENERATE_KEY_PAIR: {
            CK_MECHANISM generate = {CKM_RSA_PKCS_KEY_PAIR_GEN, NULL, 0};
            CK_ULONG bits = 2048;
            static const CK_BYTE exponent[] = {1, 0, 1};
            CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
            CK_KEY_TYPE keyType = CKK_RSA;
            CK_BBOOL no = CK_FALSE;
            CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                             {CKA_TOKEN, &no, sizeof no},
                                             {CKA_VERIFY, &yes, sizeof yes},
                                             {CKA_WRAP, &yes, sizeof yes},
                                             {CKA_ENCRYPT, &yes, sizeof yes},
                                             {CKA_LABEL, "bench-rsa", 9},
                                             {CKA_MODIFIABLE, &yes, sizeof yes},
                                             {CKA_MODULUS_BITS, &bits, sizeof bits},
                                             {CKA_PUBLIC_EXPONENT, (void*)exponent, 3},
                                             {CKA_KEY_TYPE, &keyType, sizeof keyType}};
            CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                              {CKA_SIGN, &yes, sizeof yes},
                                              {CKA_TOKEN, &yes, sizeof yes},
                                              {CKA_PRIVATE, &yes, sizeof yes},
                                              {CKA_DECRYPT, &yes, sizeof yes},
                                              {CKA_LABEL, "bench-rsa", 9},
                                              {CKA_EXTRACTABLE, &no, sizeof no},
                                              {CKA_UNWRAP, &yes, sizeof yes},
                                              {CKA_KEY_TYPE, &keyType, sizeof keyType}};
            CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
            return f->C_GenerateKeyPair(1, &generate, publicTemplate, 10, privateTemplate, 9, &publicKey,
                                        &privateKey);
        }
        case FLOOR_GENERATE_KEY: {
            CK_MECHANISM generate = {CKM_AES_KEY_GEN, NULL, 0};
            CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
            CK_KEY_TYPE aes = CKK_AES;
            CK_ULONG keyBytes = 32;
            CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
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
                                          {CKA_VALUE_LEN, &keyBytes, sizeof keyBytes}};
            CK_OBJECT_HANDLE key = 0;
            return f->C_GenerateKey(1, &generate, keyTemplate, 13, &key);
        }
        case FLOOR_SIGN_INIT:
            return f->C_SignInit(1, &rsa, 2);
        case FLOOR_SIGN:
            length = 4096;
            return f->C_Sign(1, inputBuffer, inputLength, outputBuffer, &length);
        case FLOOR_ENCRYPT_INIT:
            return f->C_EncryptInit(1, &rsa, 2);
        case FLOOR_ENCRYPT:
            length = 4096;
            return f->C_Encrypt(1, inputBuffer, inputLength, outputBuffer, &length);
        case FLOOR_DECRYPT_INIT:
            return f->C_DecryptInit(1, &rsa, 2);
        case FLOOR_DECRYPT:
            length = 10000;
            return f->C_Decrypt(1, inputBuffer, inputLength, outputBuffer, &length);
        case FLOOR_WRAP_KEY:
            length = 10000;
            return f->C_WrapKey(1, &rsa, 2, 4, outputBuffer, &length);
        case FLOOR_UNWRAP_KEY: {
            CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
            CK_KEY_TYPE des3 = CKK_DES3;
            CK_ATTRIBUTE keyTemplate[] = {{CKA_CLASS, &secretClass, sizeof secretClass},
                                          {CKA_KEY_TYPE, &des3, sizeof des3},
                                          {CKA_ENCRYPT, &yes, sizeof yes},
                                          {CKA_DECRYPT, &yes, sizeof yes}};
            CK_OBJECT_HANDLE key = 0;
            return f->C_UnwrapKey(1, &rsa, 2, inputBuffer, inputLength, keyTemplate, 4, &key);
        }
        default:
            return CKR_FUNCTION_FAILED;
    }
}

int64_t floor_mock_cost(int method, int calls, int inputLength) {
    if (inputLength < 0 || inputLength > (int)sizeof inputBuffer) return -1;
    answer_fill(inputBuffer, (size_t)inputLength, 9);
    const int64_t start = nowNs();
    for (int i = 0; i < calls; ++i)
        if (driverCalls(method, (CK_ULONG)inputLength) != CKR_OK) return -1;
    return nowNs() - start;
}

/* ---- the helpers as Java sees them ---- */

JNIEXPORT jboolean JNICALL FLOOR(setTexts)(JNIEnv* env, jclass cls, jint method, jobjectArray values) {
    (void)cls;
    const jsize count = (*env)->GetArrayLength(env, values);
    if (count < 1 || count > FLOOR_MOST_TEXTS) return JNI_FALSE;
    const char* chars[FLOOR_MOST_TEXTS];
    jstring strings[FLOOR_MOST_TEXTS];
    int ok = 1;
    jsize got = 0;
    for (; got < count; ++got) {
        strings[got] = (jstring)(*env)->GetObjectArrayElement(env, values, got);
        chars[got] = strings[got] ? (*env)->GetStringUTFChars(env, strings[got], NULL) : NULL;
        if (!chars[got]) {
            ok = 0;
            break;
        }
    }
    if (ok) ok = floor_set_texts(method, chars, count) == 0;
    for (jsize i = 0; i < got; ++i) {
        (*env)->ReleaseStringUTFChars(env, strings[i], chars[i]);
        (*env)->DeleteLocalRef(env, strings[i]);
    }
    return ok ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL FLOOR(mockOpen)(JNIEnv* env, jclass cls, jstring path) {
    (void)cls;
    const char* chars = (*env)->GetStringUTFChars(env, path, NULL);
    if (!chars) return JNI_FALSE;
    const int rc = floor_mock_open(chars);
    (*env)->ReleaseStringUTFChars(env, path, chars);
    return rc == 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL FLOOR(mockConfigure)(JNIEnv* env, jclass cls, jint slots, jint found) {
    (void)env;
    (void)cls;
    struct FloorMockConfig c = {slots, found};
    return floor_mock_configure(&c) == 0 ? JNI_TRUE : JNI_FALSE;
}

/* The null driver's counts (null_driver.c), set through the module the
 * library loaded from `path`. */
JNIEXPORT jboolean JNICALL FLOOR(nullConfigure)(JNIEnv* env, jclass cls, jstring path, jint slots,
                                                jint found) {
    (void)cls;
    const char* chars = (*env)->GetStringUTFChars(env, path, NULL);
    if (!chars) return JNI_FALSE;
    void* module = dlopen(chars, RTLD_NOW);
    (*env)->ReleaseStringUTFChars(env, path, chars);
    if (!module) return JNI_FALSE;
    int (*configure)(int, int);
    *(void**)(&configure) = dlsym(module, "null_driver_configure");
    return configure && configure(slots, found) == 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL FLOOR(mockClear)(JNIEnv* env, jclass cls) {
    (void)env;
    (void)cls;
    floor_mock_clear();
}

JNIEXPORT jlong JNICALL FLOOR(mockCost)(JNIEnv* env, jclass cls, jint method, jint calls, jint inputLength) {
    (void)env;
    (void)cls;
    return (jlong)floor_mock_cost(method, calls, inputLength);
}

/* Monotonic nanoseconds from C, for timing a native loop without the JVM. */
JNIEXPORT jlong JNICALL FLOOR(nanoTime)(JNIEnv* env, jclass cls) {
    (void)env;
    (void)cls;
    return (jlong)nowNs();
}
