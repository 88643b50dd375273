// Native methods of ka.tovik.selvo.jvarnel.JVarnel, under their JNI names.
// Every method answers in text (a status string or a String[] whose element
// 0 is the status) and never throws.
#pragma once

#include <jni.h>

#ifdef __cplusplus
#define VARNEL_NOEXCEPT noexcept
extern "C" {
#else
#define VARNEL_NOEXCEPT
#endif

// String LoadDriver(String path)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(JNIEnv* env, jclass,
                                                                         jstring path) VARNEL_NOEXCEPT;
// String Initialize()
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(JNIEnv* env, jclass) VARNEL_NOEXCEPT;
// String Finalize()
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Finalize(JNIEnv* env, jclass) VARNEL_NOEXCEPT;
// String[] GetVersion()
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(JNIEnv* env,
                                                                              jclass) VARNEL_NOEXCEPT;

// String[] GetSlotList(int tokenPresent)
JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(JNIEnv* env, jclass, jint tokenPresent) VARNEL_NOEXCEPT;
// String[] GetTokenInfo(int slotID)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(JNIEnv* env, jclass,
                                                                                jint slotID) VARNEL_NOEXCEPT;
// String[] OpenSession(int slotID, int flags)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(JNIEnv* env, jclass,
                                                                               jint slotID,
                                                                               jint flags) VARNEL_NOEXCEPT;
// String Login(long session, int userType, String pin)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Login(JNIEnv* env, jclass, jlong session,
                                                                    jint userType,
                                                                    jstring pin) VARNEL_NOEXCEPT;
// String LogOut(long session)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(JNIEnv* env, jclass,
                                                                     jlong session) VARNEL_NOEXCEPT;
// String CloseSession(long session)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_CloseSession(JNIEnv* env, jclass,
                                                                           jlong session) VARNEL_NOEXCEPT;
// String FindObjectsInit(long session, String label, int searchKind)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsInit(
    JNIEnv* env, jclass, jlong session, jstring label, jint searchKind) VARNEL_NOEXCEPT;
// String[] FindObjects(long session)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjects(JNIEnv* env, jclass,
                                                                               jlong session) VARNEL_NOEXCEPT;
// String FindObjectsFinal(long session)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_FindObjectsFinal(JNIEnv* env, jclass,
                                                                               jlong session) VARNEL_NOEXCEPT;
// String SignInit(long session, long key)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_SignInit(JNIEnv* env, jclass, jlong session,
                                                                       jlong key) VARNEL_NOEXCEPT;
// String[] Sign(long session, byte[] data, int length)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Sign(JNIEnv* env, jclass, jlong session,
                                                                        jbyteArray data,
                                                                        jint length) VARNEL_NOEXCEPT;

// String[] GetAttributeValue(long session, long object, String attribute)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong object, jstring attribute) VARNEL_NOEXCEPT;
// String SetAttributeValue(long session, long firstObject, long secondObject, String label)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_SetAttributeValue(
    JNIEnv* env, jclass, jlong session, jlong firstObject, jlong secondObject, jstring label) VARNEL_NOEXCEPT;
// String DestroyObject(long session, long object)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_DestroyObject(JNIEnv* env, jclass,
                                                                            jlong session,
                                                                            jlong object) VARNEL_NOEXCEPT;
// String[] GenerateKeyPair(long session, String label, int modulusBits, byte[] publicExponent,
//                          int publicExponentLength)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKeyPair(
    JNIEnv* env, jclass, jlong session, jstring label, jint modulusBits, jbyteArray publicExponent,
    jint publicExponentLength) VARNEL_NOEXCEPT;
// String[] GenerateKey(long session, int ignored)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GenerateKey(JNIEnv* env, jclass,
                                                                               jlong session,
                                                                               jint ignored) VARNEL_NOEXCEPT;

// String EncryptInit(long session, long key, String mechanismName)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_EncryptInit(
    JNIEnv* env, jclass, jlong session, jlong key, jstring mechanismName) VARNEL_NOEXCEPT;
// String[] Encrypt(long session, byte[] data, int length)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Encrypt(JNIEnv* env, jclass, jlong session,
                                                                           jbyteArray data,
                                                                           jint length) VARNEL_NOEXCEPT;
// String DecryptInit(long session, long key, String mechanismName)
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_DecryptInit(
    JNIEnv* env, jclass, jlong session, jlong key, jstring mechanismName) VARNEL_NOEXCEPT;
// String[] Decrypt(long session, byte[] data, int length)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(JNIEnv* env, jclass, jlong session,
                                                                           jbyteArray data,
                                                                           jint length) VARNEL_NOEXCEPT;
// String[] WrapKey(long session, String mechanismName, long wrappingKey, long keyToWrap)
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_WrapKey(JNIEnv* env, jclass, jlong session,
                                                                           jstring mechanismName,
                                                                           jlong wrappingKey,
                                                                           jlong keyToWrap) VARNEL_NOEXCEPT;
// String[] UnwrapKey(long session, String wrappedKey, long unwrappingKey, String mechanismName)
JNIEXPORT jobjectArray JNICALL
Java_ka_tovik_selvo_jvarnel_JVarnel_UnwrapKey(JNIEnv* env, jclass, jlong session, jstring wrappedKey,
                                              jlong unwrappingKey, jstring mechanismName) VARNEL_NOEXCEPT;

#ifdef __cplusplus
}
#endif
