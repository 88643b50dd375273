// The codec's exported face: its four tables and the two functions.
#include "base64.h"

#include "base64_codec.h"

using varnel::base64::kAlphabet;
using varnel::base64::kRev;
using varnel::base64::kRevSize;

// The exported tables are plain arrays, so they are spelled out element by
// element from the codec's constexpr tables.
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
    VARNEL_B64_64(kRev.value, 0),  VARNEL_B64_32(kRev.value, 64), VARNEL_B64_16(kRev.value, 96),
    VARNEL_B64_8(kRev.value, 112), VARNEL_B64_2(kRev.value, 120), VARNEL_B64_1(kRev.value, 122)};

#undef VARNEL_B64_1
#undef VARNEL_B64_2
#undef VARNEL_B64_4
#undef VARNEL_B64_8
#undef VARNEL_B64_16
#undef VARNEL_B64_32
#undef VARNEL_B64_64

extern "C" VARNEL_API const unsigned char CR = varnel::base64::kCarriageReturn;
extern "C" VARNEL_API const unsigned char LF = varnel::base64::kLineFeed;

extern "C" VARNEL_API int base64Encode(const unsigned char* input, int inputLength, char* output,
                                       unsigned int* outputLength) {
    using namespace varnel::base64;
    return encode(input, inputLength, output, outputLength);
}

extern "C" VARNEL_API int base64Decode(const char* input, int inputLength, unsigned char* output,
                                       unsigned int* outputLength) {
    using namespace varnel::base64;
    return decode(input, inputLength, output, outputLength);
}
