// Statuses and handles as decimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "cryptoki.h"

namespace varnel {

constexpr std::size_t kStatusTextSize = 11;
constexpr std::size_t kHandleTextSize = 21;

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

}  // namespace varnel
