// What a native method answers: the status string, or a String[] whose
// elements after the status the result owns, built last, at full length.
#pragma once

#include <jni.h>

#include <cstddef>
#include <cstring>

#include "base64.h"
#include "cryptoki.h"
#include "decimal_text.h"
#include "status.h"
#include "token_text.h"

namespace varnel {

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
    static jstring withoutStack(JNIEnv* env) noexcept { return statusString(env, Status(CKR_HOST_MEMORY)); }
};

// A String[] of up to kElements elements, each after the status with a text
// room of kRoom bytes the result holds. Whatever is put into an element must
// fit its room, which the compiler checks; a Base64 text, whose length only
// the data tells, is refused when it does not. An element never set reads "".
template <int kElements, std::size_t kRoom>
class TextResult {
public:
    static_assert(kElements >= 2, "a result array carries its status and at least one text");
    static constexpr std::size_t kTextRoom = kRoom;

    TextResult() noexcept = default;
    TextResult(const TextResult&) = delete;
    TextResult& operator=(const TextResult&) = delete;

    // The array follows a count the driver reported (GetSlotList,
    // FindObjects): 1 + `shown`, at most kElements.
    void setLength(int length) noexcept { length_ = length < kElements ? length : kElements; }

    // A text whose size, terminator included, is its array's.
    template <std::size_t kSize>
    void setText(int index, const char (&text)[kSize]) noexcept {
        std::memcpy(room<kSize>(index), text, kSize);
        texts_[index] = storage_[index - 1];
    }

    // A text the method keeps elsewhere until the result is built.
    void setKeptText(int index, const char* text) noexcept { texts_[index] = text; }

    void setHandle(int index, CK_ULONG handle) noexcept {
        formatHandle(room<kHandleTextSize>(index), handle);
        texts_[index] = storage_[index - 1];
    }

    // A whole token field, made into text Java reads right.
    template <std::size_t kSize>
    void setField(int index, const CK_UTF8CHAR (&field)[kSize]) noexcept {
        tokenTextToJava(field, kSize, room<convertedTextSize(kSize)>(index), convertedTextSize(kSize));
        texts_[index] = storage_[index - 1];
    }

    // The Base64 text of `length` bytes, if it fits the room with its
    // terminator; otherwise the element stays "".
    [[nodiscard]] bool setBase64(int index, const CK_BYTE* bytes, CK_ULONG length) noexcept {
        unsigned int textLength = kRoom;
        if (base64Encode(bytes, static_cast<int>(length), room<kRoom>(index), &textLength) != 0) return false;
        texts_[index] = storage_[index - 1];
        return true;
    }

    jobjectArray toJava(JNIEnv* env, Status status) const noexcept {
        return resultArray(env, status, length_, texts_);
    }
    static jobjectArray withoutStack(JNIEnv* env) noexcept {
        return resultArray(env, Status(CKR_HOST_MEMORY), kElements, nullptr);
    }

private:
    template <std::size_t kSize>
    char* room(int index) noexcept {
        static_assert(kSize <= kRoom, "the text does not fit its element's room");
        return storage_[index - 1];
    }

    char storage_[kElements - 1][kRoom];  // written before it is read
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
        return HandleResult{}.toJava(env, Status(CKR_HOST_MEMORY));
    }
};

}  // namespace varnel
