/* The machine-dependent JNI types for Windows, used in place of the build
 * host's jni_md.h when cross-building the DLLs. A 32-bit Windows JVM calls
 * native methods with __stdcall (x64 has one convention, and the keyword
 * changes nothing there); jint is a long, 32 bits on both widths.
 * JNIEXPORT is empty: Varnel.def, generated from src/native-methods.txt,
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
