/* The answers the benchmark's drivers give, shared by the mock's script
 * (floor.c) and the null driver (null_driver.c) so that both make the library
 * answer with the very same strings: byte for byte the same signature, token
 * description, modulus, slot IDs and object handles. */
#ifndef VARNEL_BENCH_ANSWERS_H
#define VARNEL_BENCH_ANSWERS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "cryptoki.h"

/* Output sizes in bytes. */
enum {
    ANSWER_SIGNATURE = 256,
    ANSWER_CIPHER_TEXT = 256,
    ANSWER_PLAIN_TEXT = 245,
    ANSWER_WRAPPED_KEY = 256,
    ANSWER_MODULUS = 256
};

/* Seeds of the filler bytes of each output. */
enum { SEED_SIGN = 1, SEED_ENCRYPT = 2, SEED_DECRYPT = 3, SEED_WRAP = 4, SEED_MODULUS = 7 };

/* Deterministic filler bytes (xorshift32). */
static inline void answer_fill(unsigned char* bytes, size_t size, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = (unsigned char)x;
    }
}

static inline void answer_modulus(unsigned char* bytes, size_t size) {
    answer_fill(bytes, size, SEED_MODULUS);
    if (size) bytes[0] |= 0x80;
}

static inline CK_ULONG answer_slot_id(int index) { return (CK_ULONG)683485629u + (CK_ULONG)index * 104729u; }
static inline CK_ULONG answer_object_handle(int index) { return (CK_ULONG)(2 + index); }

static inline void answer_padded(unsigned char* field, size_t size, const char* text) {
    memset(field, ' ', size);
    memcpy(field, text, strlen(text) < size ? strlen(text) : size);
}

/* A token description like SoftHSM's. */
static inline void answer_token_info(CK_TOKEN_INFO* info) {
    memset(info, 0, sizeof *info);
    answer_padded(info->label, sizeof info->label, "varnel-bench");
    answer_padded(info->manufacturerID, sizeof info->manufacturerID, "SoftHSM project");
    answer_padded(info->model, sizeof info->model, "SoftHSM v2");
    answer_padded(info->serialNumber, sizeof info->serialNumber, "28bdaa5aa8b97c3d");
    info->flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_RESTORE_KEY_NOT_NEEDED |
                  CKF_TOKEN_INITIALIZED;
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = CK_UNAVAILABLE_INFORMATION;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = CK_UNAVAILABLE_INFORMATION;
    info->ulMaxPinLen = 255;
    info->ulMinPinLen = 4;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion.major = 2;
    info->hardwareVersion.minor = 6;
    info->firmwareVersion.major = 2;
    info->firmwareVersion.minor = 6;
    memcpy(info->utcTime, "2025010112000000", sizeof info->utcTime);
}

/* Handles of the session, the generated keys and the unwrapped key. */
enum {
    ANSWER_SESSION = 1,
    ANSWER_PUBLIC_KEY = 2,
    ANSWER_PRIVATE_KEY = 3,
    ANSWER_SECRET_KEY = 4,
    ANSWER_UNWRAPPED = 5
};

#define ANSWER_LABEL "bench-rsa"

#endif
