// Standard Cryptoki declarations. p11-kit's header packs structures on Windows
// as the standard requires there, and keeps the platform's CK_ULONG width.
#pragma once

#include <p11-kit/pkcs11.h>

#if defined(_WIN32) && defined(__cplusplus)
#include <cstddef>
#include <type_traits>

namespace varnel::abi {

// Windows drivers are built with 1-byte packing, a 32-bit CK_ULONG and the C
// calling convention for every function; a header that differed would pass
// misread templates and mechanisms, or unbalance the stack on each call.
static_assert(sizeof(CK_ULONG) == 4, "CK_ULONG is 32 bits on Windows");
// Windows is LLP64: CK_ULONG stays 32 bits on x64 too, and only pointers
// grow, so a packed attribute or mechanism is 4 + 8 + 4 bytes there.
#if defined(_WIN64)
static_assert(sizeof(void*) == 8, "x64 pointers are 8 bytes");
static_assert(sizeof(CK_ATTRIBUTE) == 16 && sizeof(CK_MECHANISM) == 16,
              "attribute and mechanism: a 32-bit field, a pointer, a 32-bit field");
static_assert(offsetof(CK_ATTRIBUTE, ulValueLen) == 12 && sizeof(CK_RSA_PKCS_OAEP_PARAMS) == 24,
              "no padding before a pointer or after it");
#else
static_assert(sizeof(CK_ATTRIBUTE) == 12 && sizeof(CK_MECHANISM) == 12,
              "attribute and mechanism are three 32-bit fields");
#endif
// CK_INFO is where packing shows: flags follows a 2-byte version and a
// 32-byte string, at offset 34 packed and 36 aligned.
static_assert(offsetof(CK_INFO, flags) == 34 && sizeof(CK_INFO) == 72,
              "Cryptoki structures are packed to 1 byte");

template <typename Function>
struct IsCdecl : std::false_type {};
template <typename Result, typename... Args>
struct IsCdecl<Result(__cdecl*)(Args...)> : std::true_type {};
static_assert(IsCdecl<CK_C_Initialize>::value && IsCdecl<CK_C_GenerateKeyPair>::value &&
                  IsCdecl<CK_NOTIFY>::value,
              "driver functions are called with the C calling convention");

}  // namespace varnel::abi
#endif
