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
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(JNIEnv* env,
                                                                         jclass) VARNEL_NOEXCEPT;
// String Finalize()
JNIEXPORT jstring JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_Finalize(JNIEnv* env,
                                                                       jclass) VARNEL_NOEXCEPT;
// String[] GetVersion()
JNIEXPORT jobjectArray JNICALL Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion(JNIEnv* env,
                                                                              jclass) VARNEL_NOEXCEPT;

#ifdef __cplusplus
}
#endif
