// Text fields from the token, made into strings the JVM reads right.
#pragma once

#include <cstddef>

namespace varnel {

// Room for a field of `fieldBytes` driver bytes once converted: a byte may
// grow to a three-byte U+FFFD, plus the terminating zero.
constexpr std::size_t convertedTextSize(std::size_t fieldBytes) { return 3 * fieldBytes + 1; }

// Converts up to `size` bytes of a token field, stopping at a zero byte, into
// NUL-terminated modified UTF-8 in `out`, `room` bytes with the terminator.
// Valid UTF-8 and modified UTF-8 pass intact, a four-byte sequence becomes
// its surrogate pair, and any other byte becomes U+FFFD: NewStringUTF is
// undefined for invalid input. A character that would not fit ends the text;
// convertedTextSize(size) bytes always take the whole field.
void tokenTextToJava(const unsigned char* field, std::size_t size, char* out, std::size_t room) noexcept;

}  // namespace varnel
