/* Where a method's own time goes: the pieces of work the library does around
 * its JNI calls and its driver call, each timed alone, in nanoseconds per
 * operation (median of 31 trials, with min and max). The Base64 codec is the
 * library's own (its exported base64Encode and base64Decode); the digits are
 * written as the library writes them; the rest are the C library calls it
 * makes, with the sizes it uses.
 *
 * Usage: hotspots <output.tsv>
 */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "base64.h"

#define TRIALS 31

static volatile unsigned long sink;
static unsigned char bytes[10000];
static char text[15000];

static int64_t nowNs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* Keeps the compiler from dropping or merging the work around it. */
#define CLOBBER() __asm__ volatile("" ::: "memory")

typedef void (*Work)(int n);

/* Decimal digits of a handle, written backwards as the library writes them. */
static void handleText(int n) {
    char handle[21];
    for (int i = 0; i < n; ++i) {
        unsigned long v = (unsigned long)(2 + (i % 100));
        char* first = handle + sizeof handle - 1;
        *first = '\0';
        do {
            *--first = (char)('0' + v % 10);
            v /= 10;
        } while (v);
        memmove(handle, first, (size_t)(handle + sizeof handle - first));
        CLOBBER();
        sink += (unsigned char)handle[0];
    }
}

static void zero4096(int n) {
    for (int i = 0; i < n; ++i) {
        memset(bytes, 0, 4096);
        CLOBBER();
    }
}

static void zero10000(int n) {
    for (int i = 0; i < n; ++i) {
        memset(bytes, 0, 10000);
        CLOBBER();
    }
}

static void encode256(int n) {
    for (int i = 0; i < n; ++i) {
        unsigned int length = 10000;
        base64Encode(bytes, 256, text, &length);
        CLOBBER();
        sink += length;
    }
}

static void decode344(int n) {
    for (int i = 0; i < n; ++i) {
        unsigned int length = 10000;
        base64Decode(text, 344, bytes, &length);
        CLOBBER();
        sink += length;
    }
}

static void fiveBlocks(int n) {
    static const size_t sizes[5] = {256, 9, 3, 1, 1};
    for (int i = 0; i < n; ++i) {
        void* blocks[5];
        for (int k = 0; k < 5; ++k) blocks[k] = malloc(sizes[k]);
        CLOBBER();
        for (int k = 0; k < 5; ++k) free(blocks[k]);
    }
}

static int compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <output.tsv>\n", argv[0]);
        return 2;
    }
    FILE* out = fopen(argv[1], "w");
    if (!out) return 1;
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = (unsigned char)(i * 31 + 7);
    unsigned int length = sizeof text;
    if (base64Encode(bytes, 256, text, &length) != 0 || length != 344) return 1;

    static const struct {
        const char* name;
        const char* usedBy;
        Work work;
    } pieces[] = {
        {"decimal digits of one handle or slot", "FindObjects x100, GetSlotList, OpenSession, ...",
         handleText},
        {"memset 4096 bytes (zeroed output buffer)", "Sign, Encrypt", zero4096},
        {"memset 10000 bytes (zeroed output buffer)", "Decrypt, WrapKey", zero10000},
        {"base64Encode 256 bytes", "Sign, Encrypt, WrapKey, GetAttributeValue", encode256},
        {"base64Decode 344 characters", "Decrypt, UnwrapKey", decode344},
        {"malloc + free x5 (attribute buffers)", "GetAttributeValue", fiveBlocks},
    };
    fprintf(out, "piece\tused_by\tns\tns_min\tns_max\n");
    for (size_t p = 0; p < sizeof pieces / sizeof pieces[0]; ++p) {
        /* Size the loop to about 2 ms, after a warm-up. */
        pieces[p].work(1000);
        int n = 100;
        for (;;) {
            int64_t t = nowNs();
            pieces[p].work(n);
            if (nowNs() - t > 2000000 || n > (1 << 24)) break;
            n *= 2;
        }
        double ns[TRIALS];
        for (int t = 0; t < TRIALS; ++t) {
            int64_t start = nowNs();
            pieces[p].work(n);
            ns[t] = (double)(nowNs() - start) / n;
        }
        qsort(ns, TRIALS, sizeof ns[0], compare);
        fprintf(out, "%s\t%s\t%.1f\t%.1f\t%.1f\n", pieces[p].name, pieces[p].usedBy, ns[TRIALS / 2], ns[0],
                ns[TRIALS - 1]);
    }
    fclose(out);
    return sink == 42 ? 3 : 0;
}
