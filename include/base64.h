// Base64 (RFC 4648 alphabet, '=' padding) used to pass binary PKCS#11 values
// through text channels. Plain C interface so it can be called from any side
// of the bridge; no allocation, callers own every buffer.
#ifndef VARNEL_BASE64_H
#define VARNEL_BASE64_H

#include "visibility.h"

#ifdef __cplusplus
extern "C" {
#endif

// The 64-character alphabet, without a terminating NUL.
VARNEL_API extern const unsigned char bLookup[64];
// Indexed by character code 0..122; the 6-bit value, or 0xFF if the code is
// not in the alphabet.
VARNEL_API extern const unsigned char bRevLookup[123];
VARNEL_API extern const unsigned char CR;  // 0x0D, skipped when decoding
VARNEL_API extern const unsigned char LF;  // 0x0A, skipped when decoding

// Encodes inputLength bytes (negative counts as none). *outputLength is the
// capacity of output on entry. Returns 0 on success: the text is
// NUL-terminated and *outputLength receives its length without the NUL.
// Returns 1 if the text plus NUL does not fit: output then holds an
// unterminated prefix and *outputLength is unchanged.
// A capacity of 4 * ceil(n / 3) + 1 is always enough.
VARNEL_API int base64Encode(const unsigned char* input, int inputLength, char* output,
                            unsigned int* outputLength);

// Decodes inputLength characters; CR and LF are ignored and a trailing
// incomplete group is dropped. *outputLength is the capacity of output on
// entry. Returns 0 on success with *outputLength set to the number of bytes
// written (no NUL is added), 1 if output is too small, 2 on a character
// outside the alphabet. On 1 or 2 output may hold a partial result and
// *outputLength is unchanged.
// Every '=' seen so far in the input reduces the bytes produced per group,
// including for groups that follow it.
VARNEL_API int base64Decode(const char* input, int inputLength, unsigned char* output,
                            unsigned int* outputLength);

#ifdef __cplusplus
}
#endif

#endif  // VARNEL_BASE64_H
