#include "token_text.h"

#include <cstddef>
#include <cstdint>

namespace varnel {
namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

void putThreeBytes(char*& out, std::uint32_t codeUnit) {
    *out++ = static_cast<char>(0xE0 | (codeUnit >> 12));
    *out++ = static_cast<char>(0x80 | ((codeUnit >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (codeUnit & 0x3F));
}

// Length of the well-formed sequence at `p` (at most `left` bytes), or 0.
// Accepts what NewStringUTF accepts: UTF-8 up to U+FFFF, surrogates encoded
// one by one, and C0 80 for U+0000; four-byte UTF-8 is handled by the caller.
std::size_t modifiedUtf8Length(const unsigned char* p, std::size_t left) {
    if (p[0] < 0x80) return 1;
    if (p[0] == 0xC0) return left >= 2 && p[1] == 0x80 ? 2 : 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) return left >= 2 && isContinuation(p[1]) ? 2 : 0;
    if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        if (left < 3 || !isContinuation(p[1]) || !isContinuation(p[2])) return 0;
        if (p[0] == 0xE0 && p[1] < 0xA0) return 0;  // overlong
        return 3;
    }
    return 0;
}

// The code point of a well-formed four-byte sequence at `p`, or 0.
std::uint32_t fourByteCodePoint(const unsigned char* p, std::size_t left) {
    if (left < 4 || p[0] < 0xF0 || p[0] > 0xF4) return 0;
    if (!isContinuation(p[1]) || !isContinuation(p[2]) || !isContinuation(p[3])) return 0;
    std::uint32_t codePoint = (std::uint32_t(p[0] & 0x07) << 18) | (std::uint32_t(p[1] & 0x3F) << 12) |
                              (std::uint32_t(p[2] & 0x3F) << 6) | std::uint32_t(p[3] & 0x3F);
    return codePoint >= 0x10000 && codePoint <= 0x10FFFF ? codePoint : 0;
}

}  // namespace

void tokenTextToJava(const unsigned char* field, std::size_t size, char* out, std::size_t room) noexcept {
    std::size_t end = 0;
    while (end < size && field[end] != 0) ++end;

    char* const last = out + room - 1;  // where the terminator goes at the latest
    for (std::size_t i = 0; i < end;) {
        const std::size_t left = end - i;
        if (std::size_t length = modifiedUtf8Length(field + i, left)) {
            if (last - out < static_cast<std::ptrdiff_t>(length)) break;
            for (std::size_t k = 0; k < length; ++k) *out++ = static_cast<char>(field[i + k]);
            i += length;
        } else if (std::uint32_t codePoint = fourByteCodePoint(field + i, left)) {
            if (last - out < 6) break;
            codePoint -= 0x10000;
            putThreeBytes(out, 0xD800 | (codePoint >> 10));
            putThreeBytes(out, 0xDC00 | (codePoint & 0x3FF));
            i += 4;
        } else {
            if (last - out < 3) break;
            putThreeBytes(out, 0xFFFD);
            i += 1;
        }
    }
    *out = '\0';
}

}  // namespace varnel
