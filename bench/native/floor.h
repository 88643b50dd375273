/* The floor library's plain C interface: the texts each mirrored method
 * answers with, and the mock module's scripting and timing. The method numbers
 * follow the order of JVarnel's declarations; Floor.java uses the same. */
#ifndef VARNEL_BENCH_FLOOR_H
#define VARNEL_BENCH_FLOOR_H

#include <stdint.h>

#include "cryptoki.h"

#ifdef __cplusplus
extern "C" {
#endif

enum FloorMethod {
    FLOOR_LOAD_DRIVER,
    FLOOR_INITIALIZE,
    FLOOR_FINALIZE,
    FLOOR_GET_VERSION,
    FLOOR_GET_SLOT_LIST,
    FLOOR_GET_TOKEN_INFO,
    FLOOR_OPEN_SESSION,
    FLOOR_LOGIN,
    FLOOR_LOG_OUT,
    FLOOR_CLOSE_SESSION,
    FLOOR_FIND_OBJECTS_INIT,
    FLOOR_FIND_OBJECTS,
    FLOOR_FIND_OBJECTS_FINAL,
    FLOOR_GET_ATTRIBUTE_VALUE,
    FLOOR_SET_ATTRIBUTE_VALUE,
    FLOOR_DESTROY_OBJECT,
    FLOOR_GENERATE_KEY_PAIR,
    FLOOR_GENERATE_KEY,
    FLOOR_SIGN_INIT,
    FLOOR_SIGN,
    FLOOR_ENCRYPT_INIT,
    FLOOR_ENCRYPT,
    FLOOR_DECRYPT_INIT,
    FLOOR_DECRYPT,
    FLOOR_WRAP_KEY,
    FLOOR_UNWRAP_KEY,
    FLOOR_METHOD_COUNT
};

/* How many slots and objects the mock lists; the rest of its answers are
 * those of answers.h. */
struct FloorMockConfig {
    int slots;
    int found;
};

#define FLOOR_API __attribute__((visibility("default")))

/* The strings `method` answers with, element 0 the status; copied. */
FLOOR_API int floor_set_texts(int method, const char* const* values, int count);
/* Binds the mock module at `path` (already loaded by the library). */
FLOOR_API int floor_mock_open(const char* path);
/* Forgets the mock's log and scripts, then scripts every sticky answer. */
FLOOR_API int floor_mock_configure(const struct FloorMockConfig* config);
FLOOR_API void floor_mock_clear(void);
/* Nanoseconds that `calls` repetitions of `method`'s driver calls take when
 * made straight to the mock with the library's arguments; -1 on a failure. */
FLOOR_API int64_t floor_mock_cost(int method, int calls, int inputLength);

#ifdef __cplusplus
}
#endif

#endif
