// What every native method shares: the conversions of Java arguments, guards
// that give back what was taken from the JVM, the results that own their
// texts, and respond(), the one shape of a method's body.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base64.h"
#include "cryptoki.h"
#include "platform.h"
#include "token_text.h"

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
// and returns the first. Hand-rolled: printf's cost showed in every call. In
// the value's own width: where CK_ULONG is 32 bits, 64-bit division would be
// a library call per digit.
template <typename Unsigned>
inline char* decimalDigits(char* end, Unsigned value) noexcept {
    static_assert(std::is_unsigned<Unsigned>::value, "digits of a magnitude");
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// The status as signed 32-bit decimal, cut to 10 characters by the buffer:
// identical texts in every build whatever the width of CK_RV. A 64-bit CK_RV
// whose low half is zero still failed, so it must not read as "0": it reads
// as CKR_GENERAL_ERROR.
inline void formatStatus(char (&text)[kStatusTextSize], CK_RV status) noexcept {
    if (status != CKR_OK && static_cast<std::uint32_t>(status) == 0) status = CKR_GENERAL_ERROR;
    const auto bits = static_cast<std::uint32_t>(status);
    const bool negative = (bits & 0x80000000u) != 0;
    char digits[12];
    char* const end = digits + sizeof digits;
    char* first = decimalDigits(end, negative ? 0u - bits : bits);
    if (negative) *--first = '-';
    std::size_t length = static_cast<std::size_t>(end - first);
    if (length > kStatusTextSize - 1) length = kStatusTextSize - 1;
    std::memcpy(text, first, length);
    text[length] = '\0';
}

// A handle (or count) in unsigned decimal into kHandleTextSize bytes: at most
// 20 digits, always whole.
inline void formatHandle(char* text, CK_ULONG handle) noexcept {
    char* const end = text + kHandleTextSize - 1;
    char* first = decimalDigits(end, handle);
    std::memmove(text, first, static_cast<std::size_t>(end - first));
    text[end - first] = '\0';
}

// How a method's work ended: a status for Java, or a JVM call that failed,
// after which the method returns null and leaves the JVM's own error pending.
// A JVM failure is not ok(), so a step that stops on failure stops on it too,
// and it converts to no CK_RV.
class Status {
public:
    constexpr Status(CK_RV rv = CKR_OK) noexcept : rv_(rv), jvmFailed_(false) {}
    static constexpr Status jvmFailure() noexcept { return Status(CKR_OK, true); }

    constexpr bool ok() const noexcept { return rv_ == CKR_OK && !jvmFailed_; }
    constexpr bool jvmFailed() const noexcept { return jvmFailed_; }
    constexpr CK_RV rv() const noexcept { return rv_; }

private:
    constexpr Status(CK_RV rv, bool jvmFailed) noexcept : rv_(rv), jvmFailed_(jvmFailed) {}
    CK_RV rv_;
    bool jvmFailed_;
};

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
inline bool lengthFitsArray(JNIEnv* env, jbyteArray array, jint length) noexcept {
    return length >= 0 && length <= env->GetArrayLength(array);
}

// A buffer the driver writes into, zeroed: a driver that reports more than it
// wrote shows zeros, never stale memory. `length` starts at the room offered.
template <CK_ULONG kRoom>
struct DriverOutput {
    DriverOutput() noexcept { std::memset(bytes, 0, sizeof bytes); }
    CK_BYTE bytes[kRoom];
    CK_ULONG length = kRoom;
};

// The status string, or null after a JVM failure.
jstring statusString(JNIEnv* env, Status status) noexcept;

// The String[] of `length` elements: the status, then texts[1] and on ("" for
// a null text, or for every element when `texts` is null). Null after a JVM
// failure, or when the JVM cannot make it.
jobjectArray resultArray(JNIEnv* env, Status status, int length, const char* const* texts) noexcept;

// A method that answers with a bare status string.
struct StatusResult {
    jstring toJava(JNIEnv* env, Status status) const noexcept { return statusString(env, status); }
    static jstring withoutStack(JNIEnv* env) noexcept { return statusString(env, CKR_HOST_MEMORY); }
};

// A String[] of up to kElements elements whose texts the result holds, in
// kTextBytes bytes: handles formatted into it, token text converted into it,
// Base64 encoded into it. An element never set reads "".
template <int kElements, std::size_t kTextBytes>
class TextResult {
public:
    static_assert(kElements >= 1, "a result array always carries its status");
    static constexpr std::size_t kTextRoom = kTextBytes;

    TextResult() noexcept = default;
    TextResult(const TextResult&) = delete;
    TextResult& operator=(const TextResult&) = delete;

    // The array follows a count the driver reported (GetSlotList,
    // FindObjects): 1 + `shown`, at most kElements.
    void setLength(int length) noexcept { length_ = length < kElements ? length : kElements; }

    void setText(int index, const char* text) noexcept {
        const std::size_t size = std::strlen(text) + 1;
        if (char* room = take(size)) {
            std::memcpy(room, text, size);
            texts_[index] = room;
        }
    }

    // A text the method keeps elsewhere until the result is built.
    void setKeptText(int index, const char* text) noexcept { texts_[index] = text; }

    void setHandle(int index, CK_ULONG handle) noexcept {
        if (char* room = take(kHandleTextSize)) {
            formatHandle(room, handle);
            texts_[index] = room;
        }
    }

    // Up to `size` bytes of a token field, made into text Java reads right,
    // in at most `room` bytes.
    void setTokenText(int index, const unsigned char* field, std::size_t size, std::size_t room) noexcept {
        if (char* text = take(room)) {
            tokenTextToJava(field, size, text, room);
            texts_[index] = text;
        }
    }

    // The Base64 text of `length` bytes, if it fits `room` bytes with its
    // terminator; otherwise the element stays "".
    bool setBase64(int index, const CK_BYTE* bytes, CK_ULONG length, std::size_t room) noexcept {
        char* text = take(room);
        unsigned int textLength = static_cast<unsigned int>(room);
        if (!text || base64Encode(bytes, static_cast<int>(length), text, &textLength) != 0) return false;
        texts_[index] = text;
        return true;
    }

    jobjectArray toJava(JNIEnv* env, Status status) const noexcept {
        return resultArray(env, status, length_, texts_);
    }
    static jobjectArray withoutStack(JNIEnv* env) noexcept {
        return resultArray(env, CKR_HOST_MEMORY, kElements, nullptr);
    }

private:
    // `size` bytes of the text room; null when a method asks for more than
    // it declared, which leaves the element "" rather than overrun.
    char* take(std::size_t size) noexcept {
        if (size > kTextBytes - used_) return nullptr;
        char* room = storage_ + used_;
        used_ += size;
        return room;
    }

    char storage_[kTextBytes];  // written before it is read
    std::size_t used_ = 0;
    const char* texts_[kElements] = {};
    int length_ = kElements;
};

// A String[] whose elements after the status are handles the driver writes
// into `handles`: shown whatever the status, "0" where it wrote none.
template <int kHandles>
struct HandleResult {
    CK_ULONG handles[kHandles] = {};

    jobjectArray toJava(JNIEnv* env, Status status) const noexcept {
        char texts[kHandles][kHandleTextSize];
        const char* elements[kHandles + 1] = {};
        for (int i = 0; i < kHandles; ++i) {
            formatHandle(texts[i], handles[i]);
            elements[i + 1] = texts[i];
        }
        return resultArray(env, status, kHandles + 1, elements);
    }
    static jobjectArray withoutStack(JNIEnv* env) noexcept {
        return HandleResult{}.toJava(env, CKR_HOST_MEMORY);
    }
};

// Nothing beyond the result.
struct NoScratch {};

// Room below a method's frame for the driver's own calls and the JVM's.
constexpr std::size_t kCalleeStackRoom = 16 * 1024;
// Frames up to this size fit the stack the JVM keeps free for native code.
constexpr std::size_t kFrameWithinJvmReserve = 4 * 1024;

// Whether the calling thread has `frameBytes` of stack, and room for the
// calls below them, before the guard zones.
inline bool stackHasRoom(std::size_t frameBytes) noexcept {
    const std::uintptr_t lowest = lowestUsableStackAddress();
    if (lowest == 0) return true;  // unknown: as the JVM left it
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here > lowest && here - lowest >= frameBytes + kCalleeStackRoom;
}

namespace detail {

template <typename Result, typename Scratch, typename Body>
Status runBody(Body& body, Result& out, Scratch& scratch) noexcept {
    if constexpr (std::is_invocable_v<Body&, Result&, Scratch&>)
        return body(out, scratch);
    else if constexpr (std::is_invocable_v<Body&, Result&>)
        return body(out);
    else
        return body();
}

template <typename Result, typename Scratch, typename Body>
auto respondHere(JNIEnv* env, Body& body) noexcept {
    Result out;
    Scratch scratch;
    const Status status = runBody(body, out, scratch);
    return out.toJava(env, status);
}

// Out of line, so that the result and the scratch buffers are taken only
// once the stack is known to hold them.
template <typename Result, typename Scratch, typename Body>
__attribute__((noinline)) auto respondInOwnFrame(JNIEnv* env, Body& body) noexcept {
    return respondHere<Result, Scratch>(env, body);
}

}  // namespace detail

// The shape of every native method. The body checks and converts the Java
// arguments, calls the driver and fills `out` (and may use `scratch`); it
// returns the status. Every guard it took has given back what it held before
// the result is built, last, at full length. A method whose result and
// scratch need more stack than the thread has left answers CKR_HOST_MEMORY
// without running the body, rather than write past the guard zones.
template <typename Result, typename Scratch = NoScratch, typename Body>
auto respond(JNIEnv* env, Body&& body) noexcept {
    constexpr std::size_t kFrameBytes = sizeof(Result) + sizeof(Scratch);
    if constexpr (kFrameBytes > kFrameWithinJvmReserve) {
        if (!stackHasRoom(kFrameBytes)) return Result::withoutStack(env);
        return detail::respondInOwnFrame<Result, Scratch>(env, body);
    } else {
        return detail::respondHere<Result, Scratch>(env, body);
    }
}

}  // namespace varnel
