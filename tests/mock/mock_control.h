// Control interface of the mock PKCS#11 module: script what each C_ function
// answers, then read back every call it received. Plain C so that the test
// program and the module never share C++ objects across the module boundary.
#pragma once

#include <stddef.h>

#include "cryptoki.h"
#include "visibility.h"

// Each module's .def file names what it exports on Windows (see
// tests/CMakeLists.txt).
#define MOCK_API VARNEL_API

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
// check its answers. mock_reset leaves the mode as it is. The answers are
// those of echo_answers.h (slots, token record, sessions slot + 1000, found
// objects, attribute values, single-part outputs, wrapped and unwrapped
// keys, generated key handles); the refusals:
// - every function taking a session: CKR_SESSION_HANDLE_INVALID for session 0;
// - C_OpenSession: CKR_SESSION_PARALLEL_NOT_SUPPORTED without CKF_SERIAL_SESSION;
// - C_Login: CKR_USER_TYPE_INVALID above CKU_CONTEXT_SPECIFIC, CKR_PIN_LEN_RANGE
//   for an empty PIN;
// - object 0: CKR_OBJECT_HANDLE_INVALID; key 0: CKR_KEY_HANDLE_INVALID;
//   wrapping key 0: CKR_WRAPPING_KEY_HANDLE_INVALID; unwrapping key 0:
//   CKR_UNWRAPPING_KEY_HANDLE_INVALID; no wrapped bytes: CKR_WRAPPED_KEY_LEN_RANGE;
// - an attribute type the object lacks: CKR_ATTRIBUTE_TYPE_INVALID;
// - C_GenerateKeyPair: CKR_KEY_SIZE_RANGE outside 512..16384 bits,
//   CKR_ATTRIBUTE_VALUE_INVALID for an empty exponent;
// - mechanisms: CKM_RSA_PKCS for signing and wrapping, also CKM_RSA_PKCS_OAEP
//   for encryption, the generating ones for key generation; any other:
//   CKR_MECHANISM_INVALID. Output that does not fit: CKR_BUFFER_TOO_SMALL.
// Everything else answers CKR_OK.
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
