// Control interface of the mock PKCS#11 module: script what each C_ function
// answers, then read back every call it received. Plain C so that the test
// program and the module never share C++ objects across the module boundary.
#pragma once

#include <stddef.h>

#include "cryptoki.h"

#if defined(_WIN32)
// Each module's .def file names what it exports (see tests/CMakeLists.txt).
#define MOCK_API
#else
#define MOCK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Forgets every script and every logged call.
MOCK_API void mock_reset(void);

// Queues one answer for the named function ("C_Sign"). Calls take queued
// answers in order; a function with none left answers CKR_OK and writes
// nothing, unless an answer was made sticky.
MOCK_API void mock_script(const char* function, CK_RV rv);
// Amends the answer queued last: the count or length to report (otherwise
// the number of handles, or the size of the value, written).
MOCK_API void mock_script_count(CK_ULONG count);
// Handles to write: slot IDs, object handles, a session or key handle.
MOCK_API void mock_script_handles(const CK_ULONG* handles, size_t count);
// Appends one value to write: output bytes, a token record, or the value of
// the next attribute of a template.
MOCK_API void mock_script_value(const unsigned char* bytes, size_t size);
// Appends the length to report for the next attribute (default: value size).
MOCK_API void mock_script_value_length(CK_ULONG length);
// Keeps the answer queued last for every later call of its function.
MOCK_API void mock_script_sticky(void);
// Runs `hook` when the answer queued last is taken, before the function
// writes anything: a driver calling back into the library from a call.
MOCK_API void mock_script_hook(void (*hook)(void));

// Echo mode (on when non-zero; also on from load when the environment has
// MOCK_ECHO=1). Every C_ function then ignores the scripts, logs nothing and
// answers from its own arguments only, so threads can call at once and each
// check its answers. mock_reset leaves the mode as it is. With s the session
// and "s & 0xFF" its low byte, b(x, n) the n bytes (x + 7*i) & 0xFF:
// - C_GetSlotList: slots 2, 7, 4294967295 whatever tokenPresent.
// - C_GetTokenInfo(slot): label "echo slot <slot>", manufacturer
//   "Varnel echo", model "mock", space-padded; serial number "%016lx" of
//   the slot; the ten counters slot+1 .. slot+10 in structure order; flags
//   CKF_RNG|CKF_LOGIN_REQUIRED|CKF_USER_PIN_INITIALIZED|CKF_TOKEN_INITIALIZED;
//   hardware version (slot & 0xFF).1, firmware ((slot >> 8) & 0xFF).2; UTC
//   time "%016lu" of slot % 10^16.
// - C_OpenSession: s = slot + 1000, or CKR_SESSION_PARALLEL_NOT_SUPPORTED
//   without CKF_SERIAL_SESSION.
// - Every function taking a session: CKR_SESSION_HANDLE_INVALID for s = 0.
// - C_Login: CKR_USER_TYPE_INVALID above CKU_CONTEXT_SPECIFIC,
//   CKR_PIN_LEN_RANGE for an empty PIN.
// - Object 0 (C_GetAttributeValue, C_SetAttributeValue, C_DestroyObject):
//   CKR_OBJECT_HANDLE_INVALID; key 0 (C_SignInit, C_EncryptInit,
//   C_DecryptInit, C_WrapKey's key): CKR_KEY_HANDLE_INVALID.
// - C_FindObjects: 1 + s % 4 handles s * 0x10000 + 0x10 + i.
// - C_GetAttributeValue(object o), both calls of the length-then-value
//   protocol: CKA_MODULUS b(o, 32 + o % 32); CKA_LABEL "object <o>";
//   CKA_PUBLIC_EXPONENT {1, o & 0xFF, 1}; CKA_ENCRYPT o & 1; CKA_WRAP
//   (o >> 1) & 1 (one CK_BBOOL); CKA_VALUE b(o ^ 0x55, 100 + o % 100); other
//   types CKR_ATTRIBUTE_TYPE_INVALID.
// - C_Sign, C_Encrypt, C_Decrypt with tag 0x5A, 0xA5, 0x3C: the bytes tag,
//   s & 0xFF, then each input byte ^ tag ^ (s & 0xFF).
// - C_WrapKey (tag 0x77): tag, s & 0xFF, then the low 32 bits of the
//   wrapping key and of the key, little-endian; wrapping key 0:
//   CKR_WRAPPING_KEY_HANDLE_INVALID.
// - C_GenerateKeyPair: s * 0x10000 + 1 and + 2; CKR_KEY_SIZE_RANGE for a
//   modulus outside 512..16384 bits, CKR_ATTRIBUTE_VALUE_INVALID for an
//   empty exponent.
// - C_GenerateKey: s * 0x10000 + 3.
// - C_UnwrapKey: s * 0x10000 + 0x8000 + (sum of the wrapped bytes & 0x7FFF);
//   CKR_WRAPPED_KEY_LEN_RANGE for no bytes, CKR_UNWRAPPING_KEY_HANDLE_INVALID
//   for unwrapping key 0.
// - Mechanisms: CKM_RSA_PKCS for signing and wrapping, also CKM_RSA_PKCS_OAEP
//   for encryption, the generating ones for key generation; any other:
//   CKR_MECHANISM_INVALID. Output that does not fit: CKR_BUFFER_TOO_SMALL.
// - Everything else: CKR_OK.
MOCK_API void mock_echo(int on);

// The call log. Each call records its scalar arguments as numbers (pointer
// arguments as 1 when non-null) and its byte inputs as blobs: data,
// PINs, templates and mechanisms (see the encodings below).
MOCK_API size_t mock_call_count(void);
MOCK_API const char* mock_call_function(size_t call);
MOCK_API size_t mock_call_number_count(size_t call);
MOCK_API CK_ULONG mock_call_number(size_t call, size_t index);
MOCK_API size_t mock_call_blob_count(size_t call);
MOCK_API const unsigned char* mock_call_blob(size_t call, size_t index, size_t* size);

// Template blob: per attribute, the type and the value length as CK_ULONG,
// one byte 1/0 for a non-null value pointer, then the value's bytes when the
// pointer is non-null and the call reads values (all but C_GetAttributeValue).
// Mechanism blob: the mechanism type and parameter length as CK_ULONG, one
// byte for a non-null parameter, the parameter's bytes; for RSA OAEP the
// parameter's fields follow: hashAlg, mgf, source, ulSourceDataLen as
// CK_ULONG, one byte for a non-null pSourceData, and its bytes.

#ifdef __cplusplus
}
#endif
