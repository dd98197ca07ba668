// oem4bench: measures a whole conversion of one log against the raw read
// rate of the same file, both in 2048-byte blocks from the page cache.
//
//   oem4bench LOG [--recompute] [--repeat N] [--out BASE]
//
// Prints one line per measurement and a summary with the ratio, epochs per
// second, peak resident memory and the number of heap allocations made
// while converting (counted by replacing the global allocation functions).
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "oem4conv.h"

namespace {
std::atomic<unsigned long long> g_allocations{0};
}

void *operator new(std::size_t size) {
    ++g_allocations;
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    ++g_allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void *operator new[](std::size_t size, const std::nothrow_t &t) noexcept {
    return operator new(size, t);
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

// Keeps the read loop from being optimised away.
volatile unsigned g_sink = 0;

double Seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Reads the file in 2048-byte blocks, as the converter does; returns bytes.
long long RawRead(const char *path) {
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return -1;
    static char block[2048];
    long long total = 0;
    unsigned sum = 0;
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) {
        total += static_cast<long long>(n);
        sum += static_cast<unsigned char>(block[n - 1]);
    }
    std::fclose(f);
    g_sink = g_sink + sum;
    return total;
}

void OEM4CONV_CALL Quiet(double, const char *) {}

long PeakRssKb() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: oem4bench LOG [--recompute] [--repeat N] [--out BASE]\n");
        return 2;
    }
    const char *log = argv[1];
    bool recompute = false;
    int repeat = 3;
    std::string out = "/tmp/oem4bench-out";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--recompute") == 0) recompute = true;
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) repeat = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) out = argv[++i];
        else {
            std::fprintf(stderr, "oem4bench: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    repeat = std::max(repeat, 1);

    const long long size = RawRead(log); // also warms the page cache
    if (size <= 0) {
        std::fprintf(stderr, "oem4bench: cannot read %s\n", log);
        return 1;
    }
    const double mb = static_cast<double>(size) / 1e6;

    double rawBest = 1e300;
    for (int i = 0; i < repeat; ++i) {
        const double t0 = Seconds();
        RawRead(log);
        rawBest = std::min(rawBest, Seconds() - t0);
    }

    ConvertOptions options{};
    options.structSize = sizeof options;
    std::snprintf(options.inputFile, sizeof options.inputFile, "%s", log);
    std::snprintf(options.outputFile, sizeof options.outputFile, "%s", out.c_str());
    options.optionsSize = sizeof(Oem4Options);
    Oem4Options o{};
    SetFactoryDefaults(sizeof o, &o);
    o.recomputeClock = recompute ? 1 : 0;
    std::memcpy(options.converterOptions, &o, sizeof o);
    ConvertHost host{};
    host.structSize = sizeof host;
    host.onMessage = Quiet;

    double convertBest = 1e300;
    unsigned long long allocations = 0;
    for (int i = 0; i < repeat; ++i) {
        const unsigned long long before = g_allocations;
        const double t0 = Seconds();
        const int32_t result = ConvertFile(&options, &host, 0);
        const double t = Seconds() - t0;
        allocations = g_allocations - before;
        if (result != 0) {
            char text[1024];
            GetErrString(text);
            std::fprintf(stderr, "oem4bench: conversion failed (%d): %s\n", result, text);
            return 1;
        }
        convertBest = std::min(convertBest, t);
    }
    const double epochs = options.epochCount;
    std::printf("log            %s (%.1f MB)\n", log, mb);
    std::printf("recompute      %s\n", recompute ? "on" : "off");
    std::printf("raw read       %.1f MB/s (2048-byte blocks, best of %d)\n", mb / rawBest, repeat);
    std::printf("conversion     %.1f MB/s, %.0f epochs/s (%u epochs, best of %d)\n",
                mb / convertBest, epochs / convertBest, options.epochCount, repeat);
    std::printf("ratio          %.1f %% of the raw read rate\n", 100.0 * rawBest / convertBest);
    std::printf("peak memory    %.1f MB resident\n", PeakRssKb() / 1024.0);
    std::printf("allocations    %llu during one conversion (%u ephemerides)\n", allocations,
                options.ephemerisCount);
    return 0;
}
