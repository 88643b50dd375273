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

// The call log. Each call records its scalar arguments as numbers (pointer
// arguments as 1 when non-null) and its byte inputs as blobs: data,
// PINs, templates and mechanisms (see the encodings below). It keeps the
// first 65,536 calls since the last reset, so that the soak's millions of
// unscripted calls leave the module's memory flat.
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
