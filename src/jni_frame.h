// What every native method shares: guards that give back what was taken
// from the JVM, the conversions of Java arguments, and the builders of the
// status string and the result array.
#pragma once

#include <jni.h>

#include <cstddef>
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

constexpr int kStatusTextSize = 11;
constexpr int kHandleTextSize = 21;

// Writes the decimal digits of `value` backwards, ending just before `end`,
// and returns the first. Hand-rolled: printf's cost showed in every call.
inline char* decimalDigits(char* end, std::uint64_t value) noexcept {
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// The status as signed 32-bit decimal, cut to 10 characters by the buffer:
// identical texts in every build whatever the width of CK_RV.
inline void formatStatus(char (&text)[kStatusTextSize], CK_RV status) noexcept {
    const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(status & 0xFFFFFFFFu));
    char digits[12];
    char* const end = digits + sizeof digits;
    const std::int64_t wide = value;
    char* first = decimalDigits(end, static_cast<std::uint64_t>(wide < 0 ? -wide : wide));
    if (value < 0) *--first = '-';
    std::size_t length = static_cast<std::size_t>(end - first);
    if (length > kStatusTextSize - 1) length = kStatusTextSize - 1;
    std::memcpy(text, first, length);
    text[length] = '\0';
}

// A handle (or count) in unsigned decimal: at most 20 digits, always whole.
inline void formatHandle(char (&text)[kHandleTextSize], CK_ULONG handle) noexcept {
    char* const end = text + kHandleTextSize - 1;
    char* first = decimalDigits(end, handle);
    std::memmove(text, first, static_cast<std::size_t>(end - first));
    text[end - first] = '\0';
}

// Characters of a Java string, given back when the guard goes out of scope.
// A null reference yields an empty guard; so does a JVM that cannot supply
// the characters, which the caller tells apart by having checked null first.
class Utf8Chars {
public:
    Utf8Chars(JNIEnv* env, jstring string) noexcept
        : env_(env), string_(string),
          chars_(string ? env->GetStringUTFChars(string, nullptr) : nullptr) {}
    ~Utf8Chars() {
        if (chars_) env_->ReleaseStringUTFChars(string_, chars_);
    }
    Utf8Chars(const Utf8Chars&) = delete;
    Utf8Chars& operator=(const Utf8Chars&) = delete;

    explicit operator bool() const noexcept { return chars_ != nullptr; }
    const char* get() const noexcept { return chars_; }

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
        : env_(env), array_(array),
          bytes_(array ? env->GetByteArrayElements(array, nullptr) : nullptr) {}
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
inline bool lengthFitsArray(JNIEnv* env, jbyteArray array, jint length) noexcept {
    return length >= 0 && length <= env->GetArrayLength(array);
}

// The outcome of one native method. The body sets `status` once; a JVM call
// that failed is marked with jvmFailure(), after which the method returns
// null and leaves the JVM's own error pending.
struct Outcome {
    CK_RV status = CKR_OK;
    bool jvmFailed = false;

    CK_RV jvmFailure() noexcept {
        jvmFailed = true;
        return CKR_OK;
    }
};

// A method that answers with a bare status string.
struct StatusResult : Outcome {
    jstring toJava(JNIEnv* env) const noexcept {
        if (jvmFailed) return nullptr;
        char text[kStatusTextSize] = {};
        formatStatus(text, status);
        return env->NewStringUTF(text);
    }
};

// The status string of a method whose only work is one driver call.
inline jstring statusString(JNIEnv* env, CK_RV status) noexcept {
    StatusResult out;
    out.status = status;
    return out.toJava(env);
}

// A method that answers with a String[]: element 0 the status, the rest the
// texts the body pointed at, "" where it pointed at nothing. `length` is the
// array's length; only GetSlotList and FindObjects change it.
template <int kCapacity>
struct ArrayResult : Outcome {
    static_assert(kCapacity >= 1, "a result array always carries its status");

    const char* texts[kCapacity] = {};
    int length = kCapacity;

    jobjectArray toJava(JNIEnv* env) const noexcept {
        if (jvmFailed) return nullptr;
        jclass stringClass = env->FindClass("java/lang/String");
        if (!stringClass) return nullptr;
        jstring empty = env->NewStringUTF("");
        if (!empty) return nullptr;
        jobjectArray array = env->NewObjectArray(length, stringClass, empty);
        if (!array) return nullptr;

        char statusText[kStatusTextSize] = {};
        formatStatus(statusText, status);
        for (int i = 0; i < length; ++i) {
            const char* text = i == 0 ? statusText : (texts[i] ? texts[i] : "");
            jstring element = env->NewStringUTF(text);
            if (!element) return nullptr;
            env->SetObjectArrayElement(array, i, element);
        }
        return array;
    }
};

}  // namespace varnel
