#include "base64.h"

#include <cstdint>

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(sizeof(kAlphabet) == 64 + 1, "alphabet must have 64 characters");

constexpr unsigned char kInvalid = 0xFF;
constexpr int kRevSize = 123;  // 'z' is the highest code in the alphabet

struct RevTable {
  unsigned char value[kRevSize];
};

// Built from the character ranges rather than by inverting kAlphabet, so the
// check below compares two independent descriptions of the same mapping.
constexpr RevTable makeRevTable() {
  RevTable t{};
  for (int c = 0; c < kRevSize; ++c) t.value[c] = kInvalid;
  for (int c = 'A'; c <= 'Z'; ++c) t.value[c] = static_cast<unsigned char>(c - 'A');
  for (int c = 'a'; c <= 'z'; ++c) t.value[c] = static_cast<unsigned char>(c - 'a' + 26);
  for (int c = '0'; c <= '9'; ++c) t.value[c] = static_cast<unsigned char>(c - '0' + 52);
  t.value[static_cast<int>('+')] = 62;
  t.value[static_cast<int>('/')] = 63;
  return t;
}

constexpr RevTable kRev = makeRevTable();

constexpr bool isExactInverse() {
  int valid = 0;
  for (int c = 0; c < kRevSize; ++c) {
    if (kRev.value[c] != kInvalid) ++valid;
  }
  if (valid != 64) return false;
  for (int i = 0; i < 64; ++i) {
    const int c = static_cast<unsigned char>(kAlphabet[i]);
    if (c >= kRevSize || kRev.value[c] != i) return false;
  }
  return true;
}
static_assert(isExactInverse(), "reverse table must invert the alphabet exactly");

// Fast-path tables. kPairs gives the two characters of any 12 bits, so a
// group of three bytes takes two lookups. kDigitBits gives, for any byte at
// each of the four places of a group, its bits already shifted into place,
// and a high bit for any byte outside the alphabet (CR, LF and '=' among
// them), so one OR tells whether the group needs the careful path.
struct PairTable {
  char pair[4096][2];
};

constexpr PairTable makePairTable() {
  PairTable t{};
  for (int i = 0; i < 4096; ++i) {
    t.pair[i][0] = kAlphabet[i >> 6];
    t.pair[i][1] = kAlphabet[i & 63];
  }
  return t;
}

constexpr PairTable kPairs = makePairTable();

constexpr std::uint32_t kNotADigit = 0x80000000u;

struct DigitBitsTable {
  std::uint32_t bits[4][256];
};

constexpr DigitBitsTable makeDigitBitsTable() {
  DigitBitsTable t{};
  for (int place = 0; place < 4; ++place) {
    for (int c = 0; c < 256; ++c) {
      const unsigned value = c < kRevSize ? kRev.value[c] : kInvalid;
      t.bits[place][c] = value == kInvalid ? kNotADigit : std::uint32_t{value} << (18 - 6 * place);
    }
  }
  return t;
}

constexpr DigitBitsTable kDigitBits = makeDigitBitsTable();

}  // namespace

// The exported tables are plain arrays, so they are spelled out element by
// element from the constexpr tables above.
#define VARNEL_B64_1(t, i) t[i]
#define VARNEL_B64_2(t, i) t[i], t[(i) + 1]
#define VARNEL_B64_4(t, i) VARNEL_B64_2(t, i), VARNEL_B64_2(t, (i) + 2)
#define VARNEL_B64_8(t, i) VARNEL_B64_4(t, i), VARNEL_B64_4(t, (i) + 4)
#define VARNEL_B64_16(t, i) VARNEL_B64_8(t, i), VARNEL_B64_8(t, (i) + 8)
#define VARNEL_B64_32(t, i) VARNEL_B64_16(t, i), VARNEL_B64_16(t, (i) + 16)
#define VARNEL_B64_64(t, i) VARNEL_B64_32(t, i), VARNEL_B64_32(t, (i) + 32)

// `extern "C"` on each definition: a namespace-scope const would otherwise
// have internal linkage and never reach the symbol table.
extern "C" VARNEL_API const unsigned char bLookup[64] = {VARNEL_B64_64(kAlphabet, 0)};

extern "C" VARNEL_API const unsigned char bRevLookup[kRevSize] = {
    VARNEL_B64_64(kRev.value, 0), VARNEL_B64_32(kRev.value, 64),
    VARNEL_B64_16(kRev.value, 96), VARNEL_B64_8(kRev.value, 112),
    VARNEL_B64_2(kRev.value, 120), VARNEL_B64_1(kRev.value, 122)};

#undef VARNEL_B64_1
#undef VARNEL_B64_2
#undef VARNEL_B64_4
#undef VARNEL_B64_8
#undef VARNEL_B64_16
#undef VARNEL_B64_32
#undef VARNEL_B64_64

extern "C" VARNEL_API const unsigned char CR = 0x0D;
extern "C" VARNEL_API const unsigned char LF = 0x0A;

extern "C" VARNEL_API int base64Encode(const unsigned char* input, int inputLength,
                                       char* output, unsigned int* outputLength) {
  const unsigned int capacity = *outputLength;
  const unsigned int length = inputLength > 0 ? static_cast<unsigned int>(inputLength) : 0u;
  unsigned int in = 0;
  unsigned int out = 0;
  unsigned int padCount = 0;
  std::uint32_t acc = 0;

  // With room for the whole text and its NUL, whole groups go straight
  // through; the careful loop below is for buffers that may run out.
  const unsigned int textLength = (length + 2) / 3 * 4;
  if (capacity > textLength) {
    char* o = output;
    const unsigned char* i = input;
    for (const unsigned char* end = input + length / 3 * 3; i < end; i += 3, o += 4) {
      const std::uint32_t group = std::uint32_t{i[0]} << 16 | std::uint32_t{i[1]} << 8 | i[2];
      const char* high = kPairs.pair[group >> 12];
      const char* low = kPairs.pair[group & 0xFFFu];
      o[0] = high[0];
      o[1] = high[1];
      o[2] = low[0];
      o[3] = low[1];
    }
    if (const unsigned int rest = length % 3) {
      const std::uint32_t group = std::uint32_t{i[0]} << 16 | (rest == 2 ? std::uint32_t{i[1]} << 8 : 0u);
      o[0] = static_cast<char>(bLookup[group >> 18]);
      o[1] = static_cast<char>(bLookup[(group >> 12) & 63u]);
      o[2] = rest == 2 ? static_cast<char>(bLookup[(group >> 6) & 63u]) : '=';
      o[3] = '=';
      o += 4;
    }
    *o = '\0';
    *outputLength = textLength;
    return 0;
  }

  while (in < length) {
    for (int i = 0; i < 3; ++i) {
      acc <<= 8;
      if (in < length) {
        acc += input[in++];
      } else {
        ++padCount;
      }
    }
    for (unsigned int k = 1; k <= 4; ++k) {
      // Compared as out >= capacity so a capacity of 0 cannot wrap.
      if (out >= capacity) return 1;
      const unsigned int shift = 24 - 6 * k;
      output[out++] = (5 - k <= padCount)
                          ? '='
                          : static_cast<char>(bLookup[(acc >> shift) & 63u]);
    }
  }

  if (out >= capacity) return 1;  // no room for the NUL
  output[out] = '\0';
  *outputLength = out;
  return 0;
}

extern "C" VARNEL_API int base64Decode(const char* input, int inputLength,
                                       unsigned char* output, unsigned int* outputLength) {
  const unsigned int capacity = *outputLength;
  const unsigned int length = inputLength > 0 ? static_cast<unsigned int>(inputLength) : 0u;
  unsigned int in = 0;
  unsigned int out = 0;
  // Deliberately kept across groups: callers depend on an early '=' also
  // shortening every later group. Saturates at 3, which already suppresses
  // every byte, so a long run of '=' cannot overflow it.
  unsigned int padCount = 0;
  std::uint32_t acc = 0;

  while (in < length) {
    // Fast path: four alphabet characters with no padding seen so far and
    // room for their three bytes decode exactly as the careful loop would.
    if (padCount == 0 && length - in >= 4 && capacity - out >= 3) {
      const auto* c = reinterpret_cast<const unsigned char*>(input + in);
      const std::uint32_t group = kDigitBits.bits[0][c[0]] | kDigitBits.bits[1][c[1]] |
                                  kDigitBits.bits[2][c[2]] | kDigitBits.bits[3][c[3]];
      if (!(group & kNotADigit)) {
        output[out] = static_cast<unsigned char>(group >> 16);
        output[out + 1] = static_cast<unsigned char>(group >> 8);
        output[out + 2] = static_cast<unsigned char>(group);
        in += 4;
        out += 3;
        continue;
      }
    }
    int counted = 0;
    while (counted < 4) {
      if (in >= length) {
        // Trailing incomplete group: dropped without error.
        *outputLength = out;
        return 0;
      }
      const unsigned char c = static_cast<unsigned char>(input[in++]);
      if (c == CR || c == LF) continue;
      if (c == '=') {
        if (padCount < 3) ++padCount;
        acc <<= 6;
      } else {
        if (c >= kRevSize) return 2;
        const unsigned char value = bRevLookup[c];
        if (value == kInvalid) return 2;
        acc = (acc << 6) | value;
      }
      ++counted;
    }
    // No '=' so far: 3 bytes; one: 2; two: 1; three: none.
    for (int shift = 16; shift >= 8 * static_cast<int>(padCount); shift -= 8) {
      if (out >= capacity) return 1;
      output[out++] = static_cast<unsigned char>((acc >> shift) & 0xFFu);
    }
  }

  *outputLength = out;
  return 0;
}
