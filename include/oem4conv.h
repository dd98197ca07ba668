/*
 * oem4conv: converts NovAtel OEM4 binary receiver logs into the host's
 * observation (.tsq), ephemeris (.epp) and camera mark (.sta) files.
 *
 * Public interface of the conversion library, usable from C and C++.
 * Every record that crosses this boundary has a fixed binary layout:
 * little-endian, 4-byte integers, doubles stored at the offsets given even
 * where they are not 8-byte aligned.
 */
#ifndef OEM4CONV_H
#define OEM4CONV_H

#include <stdint.h>

/* Calling convention of the exports and of the host callbacks: the
 * callee-cleans convention in the 32-bit Windows DLL, the platform's
 * default everywhere else. */
#if defined(_WIN32) && !defined(_WIN64)
#define OEM4CONV_CALL __stdcall
#else
#define OEM4CONV_CALL
#endif

#if defined(OEM4CONV_BUILDING)
#if defined(_WIN32)
#define OEM4CONV_API __declspec(dllexport)
#else
#define OEM4CONV_API __attribute__((visibility("default")))
#endif
#else
#if defined(_WIN32) && !defined(OEM4CONV_STATIC)
#define OEM4CONV_API __declspec(dllimport)
#else
#define OEM4CONV_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes the host must put into the records (their version checks). */
#define OEM4CONV_OPTIONS_STRUCT_SIZE 2672u
#define OEM4CONV_OEM4_OPTIONS_SIZE 32u
/* The converter options before the channels field; still accepted, and
 * converted with 12 channels. */
#define OEM4CONV_OEM4_OPTIONS_SIZE_V1 28u
/* Channels of the observation file: the default and the most a host may ask
 * for. */
#define OEM4CONV_DEFAULT_CHANNELS 12u
#define OEM4CONV_MAX_CHANNELS 24u

/* ThreadBuf record types. */
#define TBREC_EPOCH 1
#define TBREC_MEAS 2
#define TBREC_GPSEPH 3
#define TBREC_TRACKING 4
#define TBREC_TYPE5 5
#define TBREC_POSITION 6
#define TBREC_TYPE7 7
#define TBREC_ALMANAC 8
#define TBREC_TYPE9 9
#define TBREC_TEXT 10
#define TBREC_TYPE11 11
#define TBREC_MARK 12
#define TBREC_TYPE13 13
#define TBREC_TYPE14 14
#define TBREC_TYPE15 15
#define TBREC_TYPE16 16
#define TBREC_TYPE17 17
#define TBREC_TYPE18 18

#pragma pack(push, 1)
/* Converter options (32 bytes; 28 without channels), the first bytes of
 * ConvertOptions.converterOptions. */
typedef struct Oem4Options {
    uint32_t epochFlag;      /* non-zero: every epoch carries flag value 2 */
    double maxPositionAge;   /* seconds between BESTPOS and RANGE for a match */
    uint32_t reportAll;      /* non-zero: optional decoding notices are sent */
    uint32_t recomputeClock; /* non-zero: recompute the clock by least squares */
    uint32_t requireL2Lock;  /* non-zero: L2 code needs phase lock and 0.01 s */
    uint32_t spare;
    uint32_t channels; /* most satellites an epoch of the .tsq file holds,
                          1 to 24; 0 means the default 12 */
} Oem4Options;
#pragma pack(pop)

/* Conversion request (2672 bytes): paths in, four counters out. */
typedef struct ConvertOptions {
    uint32_t structSize; /* 2672 */
    char inputFile[256];
    char outputFile[256];
    uint32_t optionsSize; /* 32, or 28 for the options without channels */
    uint8_t converterOptions[2048];
    uint32_t epochCount;
    uint32_t ephemerisCount;
    uint32_t spareCount;
    uint32_t markCount;
    uint8_t unused[88];
} ConvertOptions;

typedef void(OEM4CONV_CALL *Oem4MessageCallback)(double time, const char *text);
typedef void(OEM4CONV_CALL *Oem4ProgressCallback)(int32_t done, int32_t total);

/* Host callbacks: 272 bytes in the 32-bit library, 280 with 8-byte
 * pointers. structSize must be sizeof(ConvertHost) of the build. */
typedef struct ConvertHost {
    uint32_t structSize;
    uint32_t unused0;
    Oem4MessageCallback onMessage;   /* may be null */
    Oem4ProgressCallback onProgress; /* may be null */
    uint8_t unused[256];
} ConvertHost;

/* Opaque to hosts; its layout is the fixed ThreadBuf byte layout. */
typedef struct ThreadBuf ThreadBuf;

OEM4CONV_API void OEM4CONV_CALL SetFactoryDefaults(int32_t size, Oem4Options *options);
OEM4CONV_API int32_t OEM4CONV_CALL AutoDetect(const char *path);
OEM4CONV_API void OEM4CONV_CALL Abort(void);
OEM4CONV_API void OEM4CONV_CALL GetErrString(char *destination);
OEM4CONV_API int32_t OEM4CONV_CALL ConvertFile(ConvertOptions *options, ConvertHost *host, int32_t unused);
OEM4CONV_API int32_t OEM4CONV_CALL GetThreadBufRecCount(ThreadBuf *buf, int32_t type);
OEM4CONV_API int32_t OEM4CONV_CALL GetThreadBufRecSize(ThreadBuf *buf, int32_t type);
OEM4CONV_API int32_t OEM4CONV_CALL ReadThreadBufData(ThreadBuf *buf, int32_t type, int32_t maxCount, void *destination);
OEM4CONV_API int32_t OEM4CONV_CALL GetThreadBufSize(void);
OEM4CONV_API void OEM4CONV_CALL SetThreadBufSize(int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* OEM4CONV_H */
