// The Java arguments of a native method: numbers widened for the driver, and
// guards that give back what was taken from the JVM.
#pragma once

#include <jni.h>

#include <cstdint>
#include <cstring>

#include "cryptoki.h"

namespace varnel {

// A Java long handle reaches the driver whole where CK_ULONG is 64 bits wide
// and as its low 32 bits where it is 32 bits wide.
inline CK_ULONG handleFromJava(jlong value) noexcept { return static_cast<CK_ULONG>(value); }

// A Java int (slot ID, flags, user type, length) widens without its sign, so
// slot 4294967295 read back as the int -1 names the same slot.
inline CK_ULONG ulongFromJava(jint value) noexcept {
    return static_cast<CK_ULONG>(static_cast<std::uint32_t>(value));
}

// Characters of a Java string, given back when the guard goes out of scope.
// A null reference yields an empty guard; so does a JVM that cannot supply
// the characters, which the caller tells apart by having checked null first.
class Utf8Chars {
public:
    Utf8Chars(JNIEnv* env, jstring string) noexcept
        : env_(env), string_(string), chars_(string ? env->GetStringUTFChars(string, nullptr) : nullptr) {}
    ~Utf8Chars() {
        if (chars_) env_->ReleaseStringUTFChars(string_, chars_);
    }
    Utf8Chars(const Utf8Chars&) = delete;
    Utf8Chars& operator=(const Utf8Chars&) = delete;

    explicit operator bool() const noexcept { return chars_ != nullptr; }
    const char* get() const noexcept { return chars_; }
    // The bytes as a driver takes them: modified UTF-8 without the terminator.
    CK_UTF8CHAR_PTR bytes() const noexcept {
        return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(chars_));
    }
    CK_ULONG length() const noexcept { return chars_ ? static_cast<CK_ULONG>(std::strlen(chars_)) : 0; }

private:
    JNIEnv* env_;
    jstring string_;
    const char* chars_;
};

// Elements of a Java byte array, released with JNI_ABORT: the library only
// reads them, so the Java array is never written back.
class ByteElements {
public:
    ByteElements(JNIEnv* env, jbyteArray array) noexcept
        : env_(env), array_(array), bytes_(array ? env->GetByteArrayElements(array, nullptr) : nullptr) {}
    ~ByteElements() {
        if (bytes_) env_->ReleaseByteArrayElements(array_, bytes_, JNI_ABORT);
    }
    ByteElements(const ByteElements&) = delete;
    ByteElements& operator=(const ByteElements&) = delete;

    explicit operator bool() const noexcept { return bytes_ != nullptr; }
    CK_BYTE_PTR get() const noexcept { return reinterpret_cast<CK_BYTE_PTR>(bytes_); }

private:
    JNIEnv* env_;
    jbyteArray array_;
    jbyte* bytes_;
};

// Whether `length` bytes from the start of `array` exist. A length the array
// does not have would send the driver past its end.
[[nodiscard]] inline bool lengthFitsArray(JNIEnv* env, jbyteArray array, jint length) noexcept {
    return length >= 0 && length <= env->GetArrayLength(array);
}

}  // namespace varnel
