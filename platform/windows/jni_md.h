/* The machine-dependent JNI types for 32-bit Windows, used in place of the
 * build host's jni_md.h when cross-building the DLL. A Windows JVM calls
 * native methods with __stdcall, and its jint is a 32-bit long.
 * JNIEXPORT is empty: Varnel.def, generated from tests/native-methods.txt,
 * alone decides what the DLL exports and under which names. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif /* !_JAVASOFT_JNI_MD_H_ */
