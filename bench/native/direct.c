/* The limit for real work: the PKCS#11 module called straight from C, with
 * nothing between the caller and the driver.
 *
 *   direct label <module> <slot> <pin> <key id hex> <key label>
 *       Labels the private key whose CKA_ID is <key id> (keytool's PKCS11
 *       keystore stores keys unlabelled).
 *   direct serve <module> <slot> <pin> <key label> <cipher text file> <plain text file>
 *       Logs in, finds the key, reads a PKCS#1 v1.5 cipher text and the plain
 *       text it hides, answers "ready", then runs commands read from standard
 *       input, one a line:
 *         sign N | decrypt N   N operations, each checked: "ok <nanoseconds>"
 *         signature | plain    one operation: "ok <Base64 of its output>"
 *         quit
 *       A failure answers "error <what> <CK_RV>" and ends the program.
 * An operation is what one pair of Varnel's calls does: SignInit+Sign of the
 * 51-byte SHA-256 DigestInfo the Java side signs, DecryptInit+Decrypt.
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

/* Initialises as the JVM in the same run does (SunPKCS11 asks for the
 * operating system's locking), opens a read-write session and logs in. */
static void start(const char* module, const char* slot, const char* pin) {
    void* library = dlopen(module, RTLD_NOW);
    CK_C_GetFunctionList getFunctionList;
    *(void**)(&getFunctionList) = library ? dlsym(library, "C_GetFunctionList") : NULL;
    if (!getFunctionList) fail("cannot open the module", 0);
    CHECK(getFunctionList(&p11));
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

static int label(char** argv) {
    start(argv[0], argv[1], argv[2]);
    unsigned char id[128];
    const size_t idLength = strlen(argv[3]) / 2;
    if (idLength > sizeof id) fail("key id too long", 0);
    for (size_t i = 0; i < idLength; ++i) {
        unsigned int byte;
        if (sscanf(argv[3] + 2 * i, "%2x", &byte) != 1) fail("key id is not hex", 0);
        id[i] = (unsigned char)byte;
    }
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE byId[] = {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_ID, id, (CK_ULONG)idLength}};
    CK_ATTRIBUTE newLabel[] = {{CKA_LABEL, argv[4], (CK_ULONG)strlen(argv[4])}};
    CHECK(p11->C_SetAttributeValue(session, findOne(byId, 2), newLabel, 1));
    CHECK(p11->C_Finalize(NULL));
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

/* The SHA-256 DigestInfo of "Varnel benchmark". */
static const unsigned char kDigestInfo[51] = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
    0x04, 0x20, 0x10, 0x1d, 0x26, 0x42, 0xe6, 0x5e, 0x7c, 0xf4, 0xfb, 0x7c, 0xa7, 0x83, 0x7c, 0x80, 0x26,
    0xc1, 0x1a, 0xa7, 0x7a, 0xb4, 0x0f, 0x42, 0x01, 0x38, 0xd9, 0x92, 0xf4, 0x2e, 0x34, 0x08, 0x90, 0x41};

static void printBase64(const unsigned char* bytes, size_t length) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    printf("ok ");
    for (size_t i = 0; i < length; i += 3) {
        uint32_t group = (uint32_t)bytes[i] << 16;
        if (i + 1 < length) group |= (uint32_t)bytes[i + 1] << 8;
        if (i + 2 < length) group |= bytes[i + 2];
        printf("%c%c%c%c", alphabet[(group >> 18) & 63], alphabet[(group >> 12) & 63],
               i + 1 < length ? alphabet[(group >> 6) & 63] : '=',
               i + 2 < length ? alphabet[group & 63] : '=');
    }
    printf("\n");
    fflush(stdout);
}

static int serve(char** argv) {
    start(argv[0], argv[1], argv[2]);
    static unsigned char cipherText[1024], plain[1024], out[4096];
    const size_t cipherLength = readFile(argv[4], cipherText, sizeof cipherText);
    const size_t plainLength = readFile(argv[5], plain, sizeof plain);
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE keyTemplate[] = {{CKA_TOKEN, &yes, sizeof yes},
                                  {CKA_PRIVATE, &yes, sizeof yes},
                                  {CKA_LABEL, argv[3], (CK_ULONG)strlen(argv[3])}};
    const CK_OBJECT_HANDLE key = findOne(keyTemplate, 3);
    CK_MECHANISM rsaPkcs = {CKM_RSA_PKCS, NULL, 0};

    printf("ready\n");
    fflush(stdout);
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        char command[32];
        long n = 1;
        if (sscanf(line, "%31s %ld", command, &n) < 1 || strcmp(command, "quit") == 0) break;
        const int sign = strcmp(command, "sign") == 0 || strcmp(command, "signature") == 0;
        if (!sign && strcmp(command, "decrypt") != 0 && strcmp(command, "plain") != 0)
            fail("unknown command", 0);
        const int once = strcmp(command, "signature") == 0 || strcmp(command, "plain") == 0;
        if (once) n = 1;
        CK_ULONG length = 0;
        const int64_t started = nowNs();
        for (long i = 0; i < n; ++i) {
            length = sizeof out;
            if (sign) {
                CHECK(p11->C_SignInit(session, &rsaPkcs, key));
                CHECK(p11->C_Sign(session, (CK_BYTE_PTR)kDigestInfo, sizeof kDigestInfo, out, &length));
                if (length != 256) fail("signature length", length);
            } else {
                CHECK(p11->C_DecryptInit(session, &rsaPkcs, key));
                CHECK(p11->C_Decrypt(session, cipherText, (CK_ULONG)cipherLength, out, &length));
                if (length != plainLength || memcmp(out, plain, plainLength) != 0)
                    fail("wrong plain text", length);
            }
        }
        const int64_t spent = nowNs() - started;
        if (once) {
            printBase64(out, length);
        } else {
            printf("ok %lld\n", (long long)spent);
            fflush(stdout);
        }
    }
    p11->C_Logout(session);
    p11->C_CloseSession(session);
    p11->C_Finalize(NULL);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 7 && strcmp(argv[1], "label") == 0) return label(argv + 2);
    if (argc == 8 && strcmp(argv[1], "serve") == 0) return serve(argv + 2);
    fprintf(stderr,
            "usage: %s label <module> <slot> <pin> <key id hex> <key label>\n"
            "       %s serve <module> <slot> <pin> <key label> <cipher text file> <plain text file>\n",
            argv[0], argv[0]);
    return 2;
}
