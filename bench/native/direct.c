/* The limit for real work: the PKCS#11 module called straight from C, with
 * nothing between the caller and the driver.
 *
 *   direct setup <module> <slot> <pin> <key id hex> <key label> <data label> <count>
 *       Labels the private key whose CKA_ID is <key id> (keytool's PKCS11
 *       keystore stores keys unlabelled) and creates <count> public data
 *       objects labelled <data label> on the token.
 *   direct serve <module> <slot> <pin> <key label> <data label> <pkcs1 file> <oaep file> <plain file>
 *       Logs in, finds the key, reads the two cipher texts and the plain text
 *       they hide, answers "ready", then runs commands read from standard
 *       input, one a line:
 *         sign N | decrypt N | oaep N | find N   N operations, each checked;
 *                                                answers "ok <nanoseconds>"
 *         signature                              "ok <Base64 of one signature>"
 *         quit
 *       A failure answers "error <what> <CK_RV>" and ends the program.
 * Each operation is what one call of the bridge does for it: SignInit+Sign of
 * a 51-byte SHA-256 DigestInfo, DecryptInit+Decrypt (PKCS#1 v1.5 or OAEP with
 * SHA-1), FindObjectsInit+FindObjects(100)+FindObjectsFinal.
 */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "cryptoki.h"

static CK_FUNCTION_LIST_PTR p11;
static CK_SESSION_HANDLE session;

static void fail(const char* what, CK_RV rv) {
    printf("error %s 0x%lx\n", what, (unsigned long)rv);
    fflush(stdout);
    exit(1);
}

#define CHECK(call)                          \
    do {                                     \
        CK_RV rv_ = (call);                  \
        if (rv_ != CKR_OK) fail(#call, rv_); \
    } while (0)

static void openModule(const char* path) {
    void* module = dlopen(path, RTLD_NOW);
    if (!module) {
        printf("error dlopen %s\n", dlerror());
        exit(1);
    }
    CK_C_GetFunctionList getFunctionList;
    *(void**)(&getFunctionList) = dlsym(module, "C_GetFunctionList");
    if (!getFunctionList) fail("C_GetFunctionList missing", 0);
    CHECK(getFunctionList(&p11));
}

/* Initialises as the JVM in the same run does (SunPKCS11 asks for the
 * operating system's locking), opens a read-write session and logs in. */
static void start(const char* module, const char* slot, const char* pin) {
    openModule(module);
    CK_C_INITIALIZE_ARGS args;
    memset(&args, 0, sizeof args);
    args.flags = CKF_OS_LOCKING_OK;
    CHECK(p11->C_Initialize(&args));
    CHECK(p11->C_OpenSession((CK_SLOT_ID)strtoul(slot, NULL, 0), CKF_SERIAL_SESSION | CKF_RW_SESSION, NULL,
                             NULL, &session));
    CHECK(p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, (CK_ULONG)strlen(pin)));
}

static CK_OBJECT_HANDLE findOne(CK_ATTRIBUTE* template, CK_ULONG count) {
    CK_OBJECT_HANDLE found[2];
    CK_ULONG n = 0;
    CHECK(p11->C_FindObjectsInit(session, template, count));
    CHECK(p11->C_FindObjects(session, found, 2, &n));
    CHECK(p11->C_FindObjectsFinal(session));
    if (n != 1) fail("expected exactly one object", n);
    return found[0];
}

static int setup(char** argv) {
    start(argv[0], argv[1], argv[2]);
    const char* idHex = argv[3];
    const char* keyLabel = argv[4];
    const char* dataLabel = argv[5];
    const int count = atoi(argv[6]);

    unsigned char id[128];
    size_t idLength = strlen(idHex) / 2;
    if (idLength > sizeof id) fail("key id too long", 0);
    for (size_t i = 0; i < idLength; ++i) {
        unsigned int byte;
        if (sscanf(idHex + 2 * i, "%2x", &byte) != 1) fail("key id is not hex", 0);
        id[i] = (unsigned char)byte;
    }
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byId[] = {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_ID, id, (CK_ULONG)idLength}};
    CK_OBJECT_HANDLE key = findOne(byId, 2);
    CK_ATTRIBUTE label[] = {{CKA_LABEL, (void*)keyLabel, (CK_ULONG)strlen(keyLabel)}};
    CHECK(p11->C_SetAttributeValue(session, key, label, 1));

    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    for (int i = 0; i < count; ++i) {
        char value[32];
        snprintf(value, sizeof value, "bench object %d", i);
        CK_ATTRIBUTE data[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                               {CKA_TOKEN, &yes, sizeof yes},
                               {CKA_PRIVATE, &no, sizeof no},
                               {CKA_LABEL, (void*)dataLabel, (CK_ULONG)strlen(dataLabel)},
                               {CKA_VALUE, value, (CK_ULONG)strlen(value)}};
        CK_OBJECT_HANDLE object;
        CHECK(p11->C_CreateObject(session, data, 5, &object));
    }
    CHECK(p11->C_Logout(session));
    CHECK(p11->C_CloseSession(session));
    CHECK(p11->C_Finalize(NULL));
    printf("ok\n");
    return 0;
}

static size_t readFile(const char* path, unsigned char* bytes, size_t room) {
    FILE* file = fopen(path, "rb");
    if (!file) fail("cannot open an input file", 0);
    size_t n = fread(bytes, 1, room, file);
    fclose(file);
    return n;
}

static int64_t nowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* The SHA-256 DigestInfo of "Varnel benchmark", as the Java side signs it. */
static const unsigned char kDigestInfo[51] = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
    0x04, 0x20, 0x10, 0x1d, 0x26, 0x42, 0xe6, 0x5e, 0x7c, 0xf4, 0xfb, 0x7c, 0xa7, 0x83, 0x7c, 0x80, 0x26,
    0xc1, 0x1a, 0xa7, 0x7a, 0xb4, 0x0f, 0x42, 0x01, 0x38, 0xd9, 0x92, 0xf4, 0x2e, 0x34, 0x08, 0x90, 0x41};

static void base64(const unsigned char* bytes, size_t length, char* out) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = (uint32_t)bytes[i] << 16;
        if (i + 1 < length) group |= (uint32_t)bytes[i + 1] << 8;
        if (i + 2 < length) group |= bytes[i + 2];
        out[o++] = alphabet[(group >> 18) & 63];
        out[o++] = alphabet[(group >> 12) & 63];
        out[o++] = i + 1 < length ? alphabet[(group >> 6) & 63] : '=';
        out[o++] = i + 2 < length ? alphabet[group & 63] : '=';
    }
    out[o] = '\0';
}

static int serve(char** argv) {
    start(argv[0], argv[1], argv[2]);
    const char* keyLabel = argv[3];
    const char* dataLabel = argv[4];
    static unsigned char pkcs1[1024], oaep[1024], plain[1024];
    const size_t pkcs1Length = readFile(argv[5], pkcs1, sizeof pkcs1);
    const size_t oaepLength = readFile(argv[6], oaep, sizeof oaep);
    const size_t plainLength = readFile(argv[7], plain, sizeof plain);

    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE keyTemplate[] = {{CKA_TOKEN, &yes, sizeof yes},
                                  {CKA_PRIVATE, &yes, sizeof yes},
                                  {CKA_LABEL, (void*)keyLabel, (CK_ULONG)strlen(keyLabel)}};
    const CK_OBJECT_HANDLE key = findOne(keyTemplate, 3);
    CK_ATTRIBUTE dataTemplate[] = {{CKA_LABEL, (void*)dataLabel, (CK_ULONG)strlen(dataLabel)}};

    CK_MECHANISM rsaPkcs = {CKM_RSA_PKCS, NULL, 0};
    CK_RSA_PKCS_OAEP_PARAMS oaepParams = {CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, NULL, 0};
    CK_MECHANISM rsaOaep = {CKM_RSA_PKCS_OAEP, &oaepParams, sizeof oaepParams};

    printf("ready\n");
    fflush(stdout);
    char line[256];
    static unsigned char out[4096];
    static char text[8192];
    while (fgets(line, sizeof line, stdin)) {
        char command[32];
        long n = 0;
        if (sscanf(line, "%31s %ld", command, &n) < 1) continue;
        if (strcmp(command, "quit") == 0) break;
        const int64_t started = nowNs();
        if (strcmp(command, "sign") == 0 || strcmp(command, "signature") == 0) {
            if (strcmp(command, "signature") == 0) n = 1;
            CK_ULONG length = 0;
            for (long i = 0; i < n; ++i) {
                length = sizeof out;
                CHECK(p11->C_SignInit(session, &rsaPkcs, key));
                CHECK(p11->C_Sign(session, (CK_BYTE_PTR)kDigestInfo, sizeof kDigestInfo, out, &length));
                if (length != 256) fail("signature length", length);
            }
            if (strcmp(command, "signature") == 0) {
                base64(out, length, text);
                printf("ok %s\n", text);
                fflush(stdout);
                continue;
            }
        } else if (strcmp(command, "decrypt") == 0 || strcmp(command, "oaep") == 0) {
            const int useOaep = strcmp(command, "oaep") == 0;
            for (long i = 0; i < n; ++i) {
                CK_ULONG length = sizeof out;
                CHECK(p11->C_DecryptInit(session, useOaep ? &rsaOaep : &rsaPkcs, key));
                CHECK(p11->C_Decrypt(session, useOaep ? oaep : pkcs1,
                                     (CK_ULONG)(useOaep ? oaepLength : pkcs1Length), out, &length));
                if (length != plainLength || memcmp(out, plain, plainLength) != 0)
                    fail("wrong plain text", length);
            }
        } else if (strcmp(command, "find") == 0) {
            for (long i = 0; i < n; ++i) {
                CK_OBJECT_HANDLE found[100];
                CK_ULONG count = 0;
                CHECK(p11->C_FindObjectsInit(session, dataTemplate, 1));
                CHECK(p11->C_FindObjects(session, found, 100, &count));
                CHECK(p11->C_FindObjectsFinal(session));
                if (count != 100) fail("objects found", count);
            }
        } else {
            fail("unknown command", 0);
        }
        printf("ok %lld\n", (long long)(nowNs() - started));
        fflush(stdout);
    }
    p11->C_Logout(session);
    p11->C_CloseSession(session);
    p11->C_Finalize(NULL);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 9 && strcmp(argv[1], "setup") == 0) return setup(argv + 2);
    if (argc == 10 && strcmp(argv[1], "serve") == 0) return serve(argv + 2);
    fprintf(stderr,
            "usage: %s setup <module> <slot> <pin> <key id hex> <key label> <data label> <count>\n"
            "       %s serve <module> <slot> <pin> <key label> <data label> <pkcs1 file> <oaep file> <plain "
            "file>\n",
            argv[0], argv[0]);
    return 2;
}
