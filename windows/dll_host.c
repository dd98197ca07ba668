/*
 * A small host application for the conversion library, built for 32-bit
 * Windows (run under wine when cross-compiling) and natively for Linux.
 *
 * It loads the library at run time the way host applications do, resolves
 * every export (on Windows by decorated name and by ordinal), and checks
 * what a host relies on: option defaults, the message text, the ThreadBuf
 * readers, the refusals of ConvertFile and, with --convert, whole
 * conversions through stdcall callbacks (progress, messages, abort, null
 * callbacks, an epoch that the observation writer refuses). Converted files
 * are left in the output folder so that the outputs of the two builds can be
 * compared with --compare.
 *
 *   dll_host LIBRARY OUTDIR [--convert LOG...]
 *   dll_host --compare FILE_A FILE_B
 *   dll_host --compare-recomputed FILE_A.tsq FILE_B.tsq
 *
 * Exit status: 0 when every check passed, 1 otherwise, 2 on usage errors.
 */
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#endif

#define OEM4CONV_STATIC /* only the types and typedefs of the header are used */
#include "oem4conv.h"

#if defined(_WIN32) && !defined(_WIN64)
/* The 32-bit records the host shares with the DLL. */
_Static_assert(sizeof(ConvertHost) == 272, "ConvertHost is 272 bytes");
_Static_assert(offsetof(ConvertHost, onMessage) == 8, "onMessage at 8");
_Static_assert(offsetof(ConvertHost, onProgress) == 12, "onProgress at 12");
#endif
_Static_assert(sizeof(ConvertOptions) == 2672, "ConvertOptions is 2672 bytes");
_Static_assert(offsetof(ConvertOptions, epochCount) == 2568, "epochCount at 2568");

/* ---- checks ------------------------------------------------------------ */

static int g_failures;

#define CHECK(cond) check((cond) != 0, #cond, __FILE__, __LINE__)

static int check(int ok, const char *what, const char *file, int line) {
    if (!ok) {
        ++g_failures;
        printf("FAIL %s:%d: %s\n", file, line, what);
    }
    return ok;
}

static void CheckText(const char *actual, const char *expected, int line) {
    if (strcmp(actual, expected) != 0) {
        ++g_failures;
        printf("FAIL %s:%d: text \"%s\", expected \"%s\"\n", __FILE__, line, actual, expected);
    }
}

/* ---- the library's exports -------------------------------------------- */

typedef void (*AnyFunction)(void);
typedef void(OEM4CONV_CALL *SetFactoryDefaultsFn)(int32_t, Oem4Options *);
typedef int32_t(OEM4CONV_CALL *AutoDetectFn)(const char *);
typedef void(OEM4CONV_CALL *AbortFn)(void);
typedef void(OEM4CONV_CALL *GetErrStringFn)(char *);
typedef int32_t(OEM4CONV_CALL *ConvertFileFn)(ConvertOptions *, ConvertHost *, int32_t);
typedef int32_t(OEM4CONV_CALL *GetThreadBufRecCountFn)(ThreadBuf *, int32_t);
typedef int32_t(OEM4CONV_CALL *GetThreadBufRecSizeFn)(ThreadBuf *, int32_t);
typedef int32_t(OEM4CONV_CALL *ReadThreadBufDataFn)(ThreadBuf *, int32_t, int32_t, void *);
typedef int32_t(OEM4CONV_CALL *GetThreadBufSizeFn)(void);
typedef void(OEM4CONV_CALL *SetThreadBufSizeFn)(int32_t);

/* Ordinal, decorated name, plain name of every export. */
static const struct {
    int ordinal;
    const char *decorated;
    const char *plain;
} kExports[10] = {
    {1, "_SetFactoryDefaults@8", "SetFactoryDefaults"},
    {2, "_AutoDetect@4", "AutoDetect"},
    {3, "_Abort@0", "Abort"},
    {4, "_GetErrString@4", "GetErrString"},
    {5, "_ConvertFile@12", "ConvertFile"},
    {6, "_GetThreadBufRecCount@8", "GetThreadBufRecCount"},
    {7, "_GetThreadBufRecSize@8", "GetThreadBufRecSize"},
    {8, "_ReadThreadBufData@16", "ReadThreadBufData"},
    {9, "_GetThreadBufSize@0", "GetThreadBufSize"},
    {10, "_SetThreadBufSize@4", "SetThreadBufSize"},
};

static SetFactoryDefaultsFn pSetFactoryDefaults;
static AutoDetectFn pAutoDetect;
static AbortFn pAbort;
static GetErrStringFn pGetErrString;
static ConvertFileFn pConvertFile;
static GetThreadBufRecCountFn pGetThreadBufRecCount;
static GetThreadBufRecSizeFn pGetThreadBufRecSize;
static ReadThreadBufDataFn pReadThreadBufData;
static GetThreadBufSizeFn pGetThreadBufSize;
static SetThreadBufSizeFn pSetThreadBufSize;

/* Loads the library and resolves the exports; 0 when any is missing. */
static int LoadExports(const char *path) {
    AnyFunction found[10];
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path);
    if (module == NULL) {
        printf("FAIL: LoadLibrary(%s) failed with error %lu\n", path, (unsigned long)GetLastError());
        return 0;
    }
    for (int i = 0; i < 10; ++i) {
        FARPROC byName = GetProcAddress(module, kExports[i].decorated);
        FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(kExports[i].ordinal));
        FARPROC plain = GetProcAddress(module, kExports[i].plain);
        if (byName == NULL || byOrdinal == NULL || byName != byOrdinal) {
            printf("FAIL: export %s / ordinal %d not resolved to one address\n", kExports[i].decorated,
                   kExports[i].ordinal);
            return 0;
        }
        /* Only the decorated names are exported. */
        CHECK(plain == NULL);
        memcpy(&found[i], &byName, sizeof found[i]);
    }
    CHECK(GetProcAddress(module, MAKEINTRESOURCEA(11)) == NULL);
#else
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        printf("FAIL: dlopen(%s): %s\n", path, dlerror());
        return 0;
    }
    for (int i = 0; i < 10; ++i) {
        void *symbol = dlsym(module, kExports[i].plain);
        if (symbol == NULL) {
            printf("FAIL: export %s not found\n", kExports[i].plain);
            return 0;
        }
        memcpy(&found[i], &symbol, sizeof found[i]);
    }
#endif
    pSetFactoryDefaults = (SetFactoryDefaultsFn)found[0];
    pAutoDetect = (AutoDetectFn)found[1];
    pAbort = (AbortFn)found[2];
    pGetErrString = (GetErrStringFn)found[3];
    pConvertFile = (ConvertFileFn)found[4];
    pGetThreadBufRecCount = (GetThreadBufRecCountFn)found[5];
    pGetThreadBufRecSize = (GetThreadBufRecSizeFn)found[6];
    pReadThreadBufData = (ReadThreadBufDataFn)found[7];
    pGetThreadBufSize = (GetThreadBufSizeFn)found[8];
    pSetThreadBufSize = (SetThreadBufSizeFn)found[9];
    return 1;
}

/* ---- little-endian helpers --------------------------------------------- */

static void PutU2(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static void PutU4(uint8_t *p, uint32_t v) {
    PutU2(p, v);
    PutU2(p + 2, v >> 16);
}
static void PutR8(uint8_t *p, double v) {
    uint64_t bits;
    memcpy(&bits, &v, 8);
    PutU4(p, (uint32_t)bits);
    PutU4(p + 4, (uint32_t)(bits >> 32));
}
static void PutR4(uint8_t *p, float v) {
    uint32_t bits;
    memcpy(&bits, &v, 4);
    PutU4(p, bits);
}
static uint32_t U2(const uint8_t *p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t U4(const uint8_t *p) { return U2(p) | U2(p + 2) << 16; }

static char g_text[512];
static const char *ErrString(void) {
    memset(g_text, 0x5A, sizeof g_text);
    pGetErrString(g_text);
    return g_text;
}

/* ---- interface checks -------------------------------------------------- */

static void CheckFactoryDefaults(void) {
    uint8_t block[32];
    memset(block, 0xA5, sizeof block);
    pSetFactoryDefaults(27, (Oem4Options *)block);
    pSetFactoryDefaults(29, (Oem4Options *)block);
    for (int i = 0; i < 32; ++i) CHECK(block[i] == 0xA5);

    /* At its place in ConvertOptions, where the double is not 8-aligned. */
    static ConvertOptions options;
    memset(&options, 0xA5, sizeof options);
    pSetFactoryDefaults(28, (Oem4Options *)options.converterOptions);
    uint8_t five[8];
    PutR8(five, 5.0);
    const uint8_t *o = options.converterOptions;
    CHECK(U4(o) == 0);
    CHECK(memcmp(o + 4, five, 8) == 0);
    CHECK(U4(o + 12) == 0);
    CHECK(U4(o + 16) == 0);
    CHECK(U4(o + 20) == 1);
    CHECK(U4(o + 24) == 0xA5A5A5A5u);
}

static void CheckThreadBufReaders(void) {
    /* A buffer in the library's byte layout: one epoch group, then a group
     * of three measurement records. */
    static uint32_t storage[512];
    uint8_t *buf = (uint8_t *)storage;
    memset(storage, 0, sizeof storage);
    ThreadBuf *tb = (ThreadBuf *)buf;

    PutU4(buf + 12, 16);
    CHECK(pGetThreadBufRecCount(tb, TBREC_EPOCH) == 0);
    CHECK(pGetThreadBufRecSize(tb, TBREC_EPOCH) == 0);

    uint8_t *g1 = buf + 16, *g2 = g1 + 20 + 68;
    PutU4(g1, 1), PutU4(g1 + 4, TBREC_EPOCH), PutU4(g1 + 8, 1), PutU4(g1 + 12, 68), PutU4(g1 + 16, 1);
    PutU4(g2, 1), PutU4(g2 + 4, TBREC_MEAS), PutU4(g2 + 8, 3), PutU4(g2 + 12, 132), PutU4(g2 + 16, 0);
    for (int i = 0; i < 132; ++i) g2[20 + i] = (uint8_t)(i + 1);
    PutU4(buf, 2);
    PutU4(buf + 4, (1u << (TBREC_EPOCH - 1)) | (1u << (TBREC_MEAS - 1)));
    PutU4(buf + 8, 1);
    PutU4(buf + 12, 16 + 88 + 152);

    CHECK(pGetThreadBufRecCount(tb, TBREC_EPOCH) == 1);
    CHECK(pGetThreadBufRecCount(tb, TBREC_MEAS) == 3);
    CHECK(pGetThreadBufRecCount(tb, TBREC_ALMANAC) == 0);
    CHECK(pGetThreadBufRecCount(tb, 0) == 0);
    CHECK(pGetThreadBufRecCount(tb, 19) == 0);
    CHECK(pGetThreadBufRecSize(tb, TBREC_MEAS) == 132);

    uint8_t out[140];
    memset(out, 0xEE, sizeof out);
    CHECK(pReadThreadBufData(tb, TBREC_MEAS, 2, out) == 0);
    CHECK(out[0] == 0xEE);
    CHECK(pReadThreadBufData(tb, TBREC_MEAS, 24, out) == 3);
    CHECK(memcmp(out, g2 + 20, 132) == 0);
    CHECK(out[132] == 0xEE);

    CHECK(pGetThreadBufSize() == 16384);
    pSetThreadBufSize(1179);
    CHECK(pGetThreadBufSize() == 1179);
    pSetThreadBufSize(16384);
}

static void CheckConvertRefusals(void) {
    static ConvertOptions options;
    static ConvertHost host;
    memset(&options, 0, sizeof options);
    memset(&host, 0, sizeof host);
    options.structSize = sizeof options;
    options.optionsSize = 28;
    options.epochCount = options.ephemerisCount = options.spareCount = options.markCount = 0xDEADBEEFu;
    host.structSize = 271;
    CHECK(pConvertFile(&options, &host, 0) == 1);
    CheckText(ErrString(), "Incorrect version of OEM4 Conversion DLL", __LINE__);
    CHECK(options.epochCount == 0xDEADBEEFu && options.markCount == 0xDEADBEEFu);

    host.structSize = sizeof host;
    options.structSize = 2671;
    CHECK(pConvertFile(&options, &host, 0) == 1);
    CheckText(ErrString(), "Incorrect version of OEM4 Conversion DLL", __LINE__);

    options.structSize = sizeof options;
    options.optionsSize = 0;
    CHECK(pConvertFile(&options, &host, 0) == 1);
    CheckText(ErrString(), "Incorrect version of OEM4 Conversion DLL, Invalid options", __LINE__);
    CHECK(options.spareCount == 0xDEADBEEFu);

    /* AutoDetect leaves the message text alone. */
    CHECK(pAutoDetect("no such file.gps") == 0);
    CheckText(ErrString(), "Incorrect version of OEM4 Conversion DLL, Invalid options", __LINE__);
}

/* ---- conversions ------------------------------------------------------- */

static struct {
    int progressCalls;
    int32_t firstDone, lastDone, lastTotal;
    int progressOrderBroken;
    int abortOnProgress; /* Abort calls to make on the first progress call */
    int messages;
    char lastMessage[512];
    double watchTime; /* of the last message that starts with g_watchPrefix */
    int watchSeen;
} g_run;
static const char *g_watchPrefix;

static void OEM4CONV_CALL OnMessage(double time, const char *text) {
    ++g_run.messages;
    snprintf(g_run.lastMessage, sizeof g_run.lastMessage, "%s", text);
    if (g_watchPrefix != NULL && strncmp(text, g_watchPrefix, strlen(g_watchPrefix)) == 0) {
        ++g_run.watchSeen;
        g_run.watchTime = time;
    }
}

static void OEM4CONV_CALL OnProgress(int32_t done, int32_t total) {
    if (g_run.progressCalls == 0) {
        g_run.firstDone = done;
        for (int i = 0; i < g_run.abortOnProgress; ++i) pAbort();
    } else if (done < g_run.lastDone || total != g_run.lastTotal) {
        g_run.progressOrderBroken = 1;
    }
    ++g_run.progressCalls;
    g_run.lastDone = done;
    g_run.lastTotal = total;
}

static const char *g_outDir;

static long FileSize(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return -1;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fclose(f);
    return size;
}

/* The file name of a path without its extension: the output base name. */
static const char *BaseName(const char *path) {
    static char name[260];
    const char *base = path;
    for (const char *p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    snprintf(name, sizeof name, "%s", base);
    char *dot = strrchr(name, '.');
    if (dot != NULL && dot != name) *dot = 0;
    return name;
}

/* Output base path OUTDIR/NAME with the platform's separator. */
static void OutputBase(char *dest, size_t size, const char *name) {
    snprintf(dest, size, "%s/%s", g_outDir, name);
#ifdef _WIN32
    for (char *p = dest; *p; ++p)
        if (*p == '/') *p = '\\';
#endif
}

static int32_t Convert(const char *input, const char *outputName, ConvertOptions *options, int withCallbacks,
                       int abortCalls) {
    static ConvertHost host;
    memset(&host, 0, sizeof host);
    host.structSize = sizeof host;
    if (withCallbacks) {
        host.onMessage = OnMessage;
        host.onProgress = OnProgress;
    }
    memset(options, 0, sizeof *options);
    options->structSize = sizeof *options;
    options->optionsSize = 28;
    pSetFactoryDefaults(28, (Oem4Options *)options->converterOptions);
    snprintf(options->inputFile, sizeof options->inputFile, "%s", input);
#ifdef _WIN32
    for (char *p = options->inputFile; *p; ++p)
        if (*p == '/') *p = '\\';
#endif
    OutputBase(options->outputFile, sizeof options->outputFile, outputName);
    memset(&g_run, 0, sizeof g_run);
    g_run.abortOnProgress = abortCalls;
    return pConvertFile(options, &host, 0);
}

/* Reads a whole output file; the caller frees the result. */
static uint8_t *ReadAll(const char *path, long *size) {
    *size = FileSize(path);
    if (*size < 0) return NULL;
    uint8_t *data = malloc((size_t)*size + 1);
    FILE *f = fopen(path, "rb");
    if (data == NULL || f == NULL || fread(data, 1, (size_t)*size, f) != (size_t)*size) {
        free(data);
        if (f) fclose(f);
        return NULL;
    }
    fclose(f);
    data[*size] = 0;
    return data;
}

/* Checks the three outputs of one conversion: the observation file walks
 * from header to end in whole epoch blocks, one per counted epoch; the EPP
 * file starts with its identification line; text lines end in CR LF on
 * Windows and in LF elsewhere. */
static void CheckOutputs(const char *outputName, const ConvertOptions *options) {
    char base[300], path[320];
    OutputBase(base, sizeof base, outputName);
    long size;

    snprintf(path, sizeof path, "%s.tsq", base);
    uint8_t *tsq = ReadAll(path, &size);
    if (!CHECK(tsq != NULL && size >= 202)) {
        printf("     (%s)\n", path);
        free(tsq);
        return;
    }
    CHECK(U2(tsq) == 202 && tsq[6] == 4 && tsq[7] == 12);
    uint32_t epochs = 0;
    long at = 202;
    while (at + 68 <= size && U2(tsq + at) == 68) {
        at += 68 + 44L * tsq[at + 2];
        ++epochs;
    }
    CHECK(at == size);
    CHECK(epochs == options->epochCount);
    free(tsq);

    const char *text[2] = {"epp", "sta"};
    for (int i = 0; i < 2; ++i) {
        snprintf(path, sizeof path, "%s.%s", base, text[i]);
        uint8_t *data = ReadAll(path, &size);
        if (!CHECK(data != NULL)) continue;
        if (i == 0) {
            const char *id = "$EPHREC Ver6.03 KAVRENO NovAtelOem4";
            CHECK(strncmp((const char *)data, id, strlen(id)) == 0);
        }
        int bareLf = 0, crLf = 0;
        for (long k = 0; k < size; ++k) {
            if (data[k] != '\n') continue;
            if (k > 0 && data[k - 1] == '\r')
                ++crLf;
            else
                ++bareLf;
        }
#ifdef _WIN32
        CHECK(bareLf == 0);
#else
        CHECK(crLf == 0);
#endif
        free(data);
    }
}

static void ConvertLog(const char *log) {
    static ConvertOptions full, quiet, aborted;
    char name[300];
    const long size = FileSize(log);
    if (!CHECK(size >= 0)) return;
    printf("converting %s (%ld bytes)\n", log, size);
    CHECK(pAutoDetect(log) == 1);

    /* An Abort before the conversion does not stop it. */
    pAbort();
    char stem[260];
    snprintf(stem, sizeof stem, "%s", BaseName(log));
    snprintf(name, sizeof name, "%s", stem);
    CHECK(Convert(log, name, &full, 1, 0) == 0);
    CHECK(g_run.progressCalls == size / 2048 + 2);
    CHECK(g_run.lastDone == size && g_run.lastTotal == size && !g_run.progressOrderBroken);
    CHECK(full.epochCount > 0);
    CHECK(full.spareCount == 0);
    char lastText[512];
    snprintf(lastText, sizeof lastText, "%s", ErrString());
    if (g_run.messages > 0) CheckText(lastText, g_run.lastMessage, __LINE__);
    printf("  epochs %u, ephemerides %u, marks %u, messages %d, progress calls %d\n", (unsigned)full.epochCount,
           (unsigned)full.ephemerisCount, (unsigned)full.markCount, g_run.messages, g_run.progressCalls);
    CheckOutputs(name, &full);

    /* Without callbacks: the same conversion, the same last message. */
    snprintf(name, sizeof name, "%s-quiet", stem);
    CHECK(Convert(log, name, &quiet, 0, 0) == 0);
    CHECK(quiet.epochCount == full.epochCount && quiet.ephemerisCount == full.ephemerisCount &&
          quiet.markCount == full.markCount);
    CheckText(ErrString(), lastText, __LINE__);

    /* Abort requested twice from the first progress call: the conversion
     * stops after that block, makes its final progress call and still
     * reports its statistics. */
    if (size > 2048) {
        snprintf(name, sizeof name, "%s-aborted", stem);
        CHECK(Convert(log, name, &aborted, 1, 2) == 1);
        CheckText(ErrString(), "User Quit", __LINE__);
        CHECK(g_run.progressCalls == 2 && g_run.firstDone == 2048);
        CHECK(g_run.lastDone == size && g_run.lastTotal == size);
        CHECK(aborted.spareCount == 0 && aborted.epochCount <= full.epochCount);
        CheckOutputs(name, &aborted);
    }
}

/* ---- a log with an epoch the observation file cannot take --------------- */

static uint32_t Crc32(const uint8_t *data, size_t length) {
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

/* Appends an OEM4 record with the given body at a time of week of GPS week
 * 1761; returns the new length. */
static size_t AppendRecord(uint8_t *out, size_t at, uint32_t id, const uint8_t *body, uint32_t length,
                           int32_t milliseconds) {
    uint8_t *r = out + at;
    memset(r, 0, 28);
    r[0] = 0xAA, r[1] = 0x44, r[2] = 0x12, r[3] = 28;
    PutU2(r + 4, id);
    PutU2(r + 8, length);
    r[13] = 180; /* fine steering */
    PutU2(r + 14, 1761);
    PutU4(r + 16, (uint32_t)milliseconds);
    memcpy(r + 28, body, length);
    PutU4(r + 28 + length, Crc32(r, 28 + length));
    return at + 28 + length + 4;
}

/* A RANGE record of `count` locked L1 C/A observations, PRN 1 to count. */
static size_t AppendRange(uint8_t *out, size_t at, int count, int32_t milliseconds) {
    static uint8_t body[4 + 44 * 24];
    memset(body, 0, sizeof body);
    PutU4(body, (uint32_t)count);
    for (int i = 0; i < count; ++i) {
        uint8_t *o = body + 4 + 44 * i;
        PutU2(o, (uint32_t)(i + 1));
        PutR8(o + 4, 21000000.0 + 1000.0 * i);
        PutR8(o + 16, -110000000.0 - 5000.0 * i);
        PutR4(o + 28, -1200.0f + 100.0f * (float)i);
        PutR4(o + 32, 45.0f);
        PutR4(o + 36, 300.0f);
        PutU4(o + 40, (1u << 10) | (1u << 11) | (1u << 12)); /* L1, locked */
    }
    return AppendRecord(out, at, 43, body, 4 + 44 * (uint32_t)count, milliseconds);
}

/* A MARKTIME record: a camera pulse at the given receiver time. */
static size_t AppendMark(uint8_t *out, size_t at, double markTime, int32_t milliseconds) {
    uint8_t body[40];
    memset(body, 0, sizeof body);
    PutU4(body, 1761);
    PutR8(body + 4, markTime);
    PutR8(body + 12, 0.000125);
    return AppendRecord(out, at, 231, body, sizeof body, milliseconds);
}

/* A log with an epoch of 13 satellites between two that fit, and two
 * camera marks. This host passes the options record without the channels
 * field, so its files have 12 channels. */
static void ConvertCutEpoch(void) {
    static uint8_t log[4096];
    size_t n = AppendRange(log, 0, 2, 100000);
    n = AppendMark(log, n, 150.25, 150250);
    n = AppendRange(log, n, 13, 200000);
    n = AppendMark(log, n, 250.5, 250500);
    n = AppendRange(log, n, 12, 300000);
    log[n++] = 0; /* so that the last record is seen as complete everywhere */

    char path[320];
    OutputBase(path, sizeof path, "cut-epoch.gps");
    FILE *f = fopen(path, "wb");
    if (!CHECK(f != NULL)) return;
    CHECK(fwrite(log, 1, n, f) == n);
    fclose(f);

    /* The epoch of 13 satellites is written with 12 of them, and the host
     * hears of the one left out with the epoch's time. */
    static ConvertOptions options;
    g_watchPrefix = "Notice: epoch has 13 satellites for 12 channels; left out PRN 13 ";
    CHECK(Convert(path, "cut-epoch", &options, 1, 0) == 0);
    g_watchPrefix = NULL;
    CHECK(g_run.watchSeen == 1 && g_run.watchTime == 200.0);
    CHECK(options.epochCount == 3 && options.markCount == 2);
    CheckOutputs("cut-epoch", &options);
    printf("converted the cut-epoch log: epochs %u, marks %u, messages %d\n", (unsigned)options.epochCount,
           (unsigned)options.markCount, g_run.messages);
}

/* ---- comparing the outputs of two builds -------------------------------- */

/* Observation files match byte for byte apart from the header's creation
 * time (8-19), file name (24-167) and the writer's two in-memory slots
 * (168-171, 174-177); text files match apart from CR before LF. */
static int Compare(const char *a, const char *b) {
    long sizeA, sizeB;
    uint8_t *da = ReadAll(a, &sizeA), *db = ReadAll(b, &sizeB);
    int same = da != NULL && db != NULL;
    size_t len = strlen(a);
    if (same && len > 4 && strcmp(a + len - 4, ".tsq") == 0) {
        same = sizeA == sizeB;
        for (long i = 0; same && i < sizeA; ++i) {
            int ignored = (i >= 8 && i < 20) || (i >= 24 && i < 172) || (i >= 174 && i < 178);
            if (!ignored && da[i] != db[i]) {
                printf("%s and %s differ at byte %ld\n", a, b, i);
                same = 0;
            }
        }
    } else if (same) {
        long i = 0, j = 0;
        while (same && (i < sizeA || j < sizeB)) {
            if (i < sizeA && da[i] == '\r' && i + 1 < sizeA && da[i + 1] == '\n') ++i;
            if (j < sizeB && db[j] == '\r' && j + 1 < sizeB && db[j + 1] == '\n') ++j;
            if (i >= sizeA || j >= sizeB || da[i] != db[j]) {
                printf("%s and %s differ at byte %ld / %ld\n", a, b, i, j);
                same = 0;
            }
            ++i, ++j;
        }
    } else {
        printf("cannot read %s or %s\n", a, b);
    }
    free(da);
    free(db);
    return same ? 0 : 1;
}

/* Builds whose floating point differs (x87 against SSE2) agree on every
 * decoded value; a position and clock offset recomputed by least squares
 * may differ in their last bits. Observation files match as for --compare,
 * apart from each epoch's latitude and longitude (8-23, within 1e-9
 * degrees), height (24-27, within 1 mm) and clock offset (44-51, within
 * 1e-6 m). */
static double ReadR8(const uint8_t *p) {
    uint64_t bits = (uint64_t)U4(p) | (uint64_t)U4(p + 4) << 32;
    double v;
    memcpy(&v, &bits, 8);
    return v;
}
static double ReadR4(const uint8_t *p) {
    uint32_t bits = U4(p);
    float v;
    memcpy(&v, &bits, 4);
    return v;
}
static int CompareRecomputed(const char *a, const char *b) {
    long sizeA, sizeB;
    uint8_t *da = ReadAll(a, &sizeA), *db = ReadAll(b, &sizeB);
    int same = da != NULL && db != NULL && sizeA == sizeB && sizeA >= 202;
    long at = 202;
    for (long i = 0; same && i < at; ++i) {
        int ignored = (i >= 8 && i < 20) || (i >= 24 && i < 172) || (i >= 174 && i < 178);
        same = ignored || da[i] == db[i];
    }
    double worstDegrees = 0.0, worstHeight = 0.0, worstClock = 0.0;
    while (same && at + 68 <= sizeA) {
        const uint8_t *ea = da + at, *eb = db + at;
        long end = at + 68 + 44L * ea[2];
        for (long i = 0; same && i < end - at && at + i < sizeA; ++i) {
            int tolerant = (i >= 8 && i < 28) || (i >= 44 && i < 52);
            same = tolerant || ea[i] == eb[i];
        }
        double dLat = fabs(ReadR8(ea + 8) - ReadR8(eb + 8)), dLon = fabs(ReadR8(ea + 16) - ReadR8(eb + 16));
        double dHeight = fabs(ReadR4(ea + 24) - ReadR4(eb + 24)), dClock = fabs(ReadR8(ea + 44) - ReadR8(eb + 44));
        same = same && dLat <= 1e-9 && dLon <= 1e-9 && dHeight <= 1e-3 && dClock <= 1e-6;
        if (!same) printf("%s and %s differ in the epoch at byte %ld\n", a, b, at);
        if (dLat > worstDegrees) worstDegrees = dLat;
        if (dLon > worstDegrees) worstDegrees = dLon;
        if (dHeight > worstHeight) worstHeight = dHeight;
        if (dClock > worstClock) worstClock = dClock;
        at = end;
    }
    same = same && at == sizeA;
    if (same)
        printf("%s: largest differences %.3g deg, %.3g m height, %.3g m clock offset\n", b, worstDegrees, worstHeight,
               worstClock);
    else if (da == NULL || db == NULL)
        printf("cannot read %s or %s\n", a, b);
    else
        printf("%s and %s differ\n", a, b);
    free(da);
    free(db);
    return same ? 0 : 1;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 4 && strcmp(argv[1], "--compare") == 0) return Compare(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "--compare-recomputed") == 0) return CompareRecomputed(argv[2], argv[3]);
    if (argc < 3 || (argc > 3 && strcmp(argv[3], "--convert") != 0)) {
        fprintf(stderr, "usage: dll_host LIBRARY OUTDIR [--convert LOG...]\n"
                        "       dll_host --compare FILE_A FILE_B\n"
                        "       dll_host --compare-recomputed FILE_A.tsq FILE_B.tsq\n");
        return 2;
    }
    g_outDir = argv[2];
#ifdef _WIN32
    CreateDirectoryA(g_outDir, NULL);
#else
    mkdir(g_outDir, 0777);
#endif
    if (!LoadExports(argv[1])) return 1;

    /* Nothing has been formatted since the library was loaded. */
    CheckText(ErrString(), "", __LINE__);
    CheckFactoryDefaults();
    CheckThreadBufReaders();
    CheckConvertRefusals();
    printf("interface checks done\n");

    if (argc > 3) {
        for (int i = 4; i < argc; ++i) ConvertLog(argv[i]);
        ConvertCutEpoch();
    }
    printf(g_failures == 0 ? "all checks passed\n" : "%d check(s) failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
