// oem4bench: measures a whole conversion of one log against the raw read
// rate of the same file and against its I/O floor, all in 2048-byte blocks
// from the page cache.
//
//   oem4bench LOG [--recompute] [--rinex | --rinex-2.11] [--repeat N] [--out BASE]
//
// With --rinex (--rinex-2.11: in RINEX 2.11, whose GLONASS navigation file
// is BASE.gnav) each round also converts with the RINEX export on, and the
// summary gives that conversion's wall-clock time against the one without
// (the export writes on a second thread: its processor time is the sum of
// both). The best of each can come from different states of a machine whose
// speed wanders, so the median of each round's own ratio (the RINEX run
// against the plain run just before it) is given beside it.
//
// The I/O floor is what any converter of this log must at least do: read it
// in 2048-byte blocks and write an output of 0.76 bytes per input byte (about
// what the observation file takes), with no decoding at all. Prints one line
// per measurement and a summary with the ratios, epochs per second, peak
// resident memory and the number of heap allocations made while converting
// (counted by replacing the global allocation functions).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/convert.h"
#include "oem4conv.h"

namespace {
std::atomic<unsigned long long> g_allocations{0};
}

// Every heap allocation of the process passes through these (operator new
// included), so the count covers the C allocation functions of the library
// and its standard library as well.
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *p, std::size_t size);
void __libc_free(void *p);

void *malloc(std::size_t size) noexcept {
    ++g_allocations;
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) noexcept {
    ++g_allocations;
    return __libc_calloc(count, size);
}
void *realloc(void *p, std::size_t size) noexcept {
    ++g_allocations;
    return __libc_realloc(p, size);
}
void free(void *p) noexcept { __libc_free(p); }
}

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

// Output bytes per input byte of the I/O floor.
constexpr double kFloorOutputRatio = 0.76;
// The stream buffers the converter gives its input and observation file.
constexpr size_t kStreamBufferSize = 64 * 1024;

// The I/O floor: reads the file in 2048-byte blocks and writes 0.76 bytes
// per byte read to a file created afresh, through streams buffered as the
// converter's are. Returns the bytes read, or -1.
long long IoFloor(const char *path, const std::string &outPath) {
    ::unlink(outPath.c_str());
    FILE *in = std::fopen(path, "rb");
    if (in == nullptr) return -1;
    FILE *out = std::fopen(outPath.c_str(), "wb");
    if (out == nullptr) {
        std::fclose(in);
        return -1;
    }
    static char inBuffer[kStreamBufferSize];
    static char outBuffer[kStreamBufferSize];
    std::setvbuf(in, inBuffer, _IOFBF, sizeof inBuffer);
    std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);
    static char block[2048];
    long long total = 0;
    long long written = 0;
    size_t n;
    bool ok = true;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) {
        total += static_cast<long long>(n);
        const long long owed = static_cast<long long>(static_cast<double>(total) * kFloorOutputRatio) - written;
        if (owed > 0 && std::fwrite(block, 1, static_cast<size_t>(owed), out) != static_cast<size_t>(owed)) ok = false;
        written += owed;
    }
    std::fclose(in);
    if (std::fclose(out) != 0) ok = false;
    ::unlink(outPath.c_str());
    return ok ? total : -1;
}

void OEM4CONV_CALL Quiet(double, const char *) {}

long PeakRssKb() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// User plus system processor time of this process, seconds.
double CpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

void ReportFailure(const char *what, int32_t result) {
    char text[1024];
    GetErrString(text);
    std::fprintf(stderr, "oem4bench: %s failed (%d): %s\n", what, result, text);
}

// One conversion with the RINEX export beside the host's files, its outputs
// made afresh; the wall-clock seconds, or -1 when it failed. *cpu gets the
// processor time of both of its threads: with two processors, the wall
// clock can be no less than half of it.
double ConvertWithRinex(ConvertOptions *options, ConvertHost *host, const std::string &out, int32_t version,
                        double *cpu) {
    for (const char *extension : {".tsq", ".epp", ".sta", ".obs", ".nav", ".gnav"}) {
        ::unlink((out + extension).c_str());
    }
    ConvertRinexOptions on{};
    on.enabled = 1;
    on.version = version;
    on.hostFiles = 1;
    SetConvertRinex(&on);
    const double c0 = CpuSeconds();
    const double t0 = Seconds();
    const int32_t result = ConvertFile(options, host, 0);
    const double t = Seconds() - t0;
    *cpu = CpuSeconds() - c0;
    SetConvertRinex(nullptr);
    if (result != 0) {
        ReportFailure("conversion with RINEX", result);
        return -1.0;
    }
    return t;
}

} // namespace

// Over 60 lines: the options, then the measuring loop and its report, read
// best in one piece.
int main(int argc, char **argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: oem4bench LOG [--recompute] [--rinex | --rinex-2.11] [--repeat N] [--out BASE]\n");
        return 2;
    }
    const char *log = argv[1];
    bool recompute = false;
    bool rinex = false;
    int32_t rinexVersion = 0; // the export's default, 3.04
    int repeat = 3;
    std::string out = "/tmp/oem4bench-out";
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--recompute") == 0)
            recompute = true;
        else if (std::strcmp(argv[i], "--rinex") == 0)
            rinex = true;
        else if (std::strcmp(argv[i], "--rinex-2.11") == 0) {
            rinex = true;
            rinexVersion = 211;
        } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            repeat = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc)
            out = argv[++i];
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

    // Raw reads and conversions alternate, so that other load on the
    // machine touches both alike; the best of each is kept.
    double rawBest = 1e300;
    double floorBest = 1e300;
    // Processor time (user and system) is far less disturbed by other load
    // than the wall clock: the least of each is reported beside it.
    double floorCpuBest = 1e300;
    double convertCpuBest = 1e300;
    double convertBest = 1e300;
    double convertCpu = 0.0;
    double rinexBest = 1e300;
    double rinexCpuBest = 1e300;
    std::vector<double> rinexRatios;
    rinexRatios.reserve(static_cast<std::size_t>(repeat));
    unsigned long long allocations = 0;
    for (int i = 0; i < repeat; ++i) {
        double t0 = Seconds();
        RawRead(log);
        rawBest = std::min(rawBest, Seconds() - t0);

        const double f0 = CpuSeconds();
        t0 = Seconds();
        if (IoFloor(log, out + ".floor") != size) {
            std::fprintf(stderr, "oem4bench: cannot write %s.floor\n", out.c_str());
            return 1;
        }
        floorBest = std::min(floorBest, Seconds() - t0);
        floorCpuBest = std::min(floorCpuBest, CpuSeconds() - f0);

        // Each conversion creates its outputs afresh: truncating the last
        // run's large files would be timed as well otherwise.
        for (const char *extension : {".tsq", ".epp", ".sta"}) ::unlink((out + extension).c_str());
        const unsigned long long before = g_allocations;
        const double c0 = CpuSeconds();
        t0 = Seconds();
        const int32_t result = ConvertFile(&options, &host, 0);
        const double t = Seconds() - t0;
        const double cpu = CpuSeconds() - c0;
        convertCpuBest = std::min(convertCpuBest, cpu);
        allocations = g_allocations - before;
        if (result != 0) {
            ReportFailure("conversion", result);
            return 1;
        }
        if (t < convertBest) {
            convertBest = t;
            convertCpu = cpu;
        }
        if (rinex) {
            double cpu = 0.0;
            const double seconds = ConvertWithRinex(&options, &host, out, rinexVersion, &cpu);
            if (seconds < 0.0) return 1;
            rinexBest = std::min(rinexBest, seconds);
            rinexCpuBest = std::min(rinexCpuBest, cpu);
            rinexRatios.push_back(seconds / t);
        }
    }
    const double epochs = options.epochCount;
    std::printf("log            %s (%.1f MB)\n", log, mb);
    std::printf("recompute      %s\n", recompute ? "on" : "off");
    std::printf("raw read       %.1f MB/s (2048-byte blocks, best of %d)\n", mb / rawBest, repeat);
    std::printf("I/O floor      %.1f MB/s (read in 2048-byte blocks, write %.2f bytes per byte, best of %d)\n",
                mb / floorBest, kFloorOutputRatio, repeat);
    std::printf("conversion     %.1f MB/s, %.0f epochs/s (%u epochs, best of %d, %.2f s, %.2f s cpu)\n",
                mb / convertBest, epochs / convertBest, options.epochCount, repeat, convertBest, convertCpu);
    std::printf("processor time I/O floor %.3f s, conversion %.3f s (%.0f epochs/s): %.3f of the I/O floor\n",
                floorCpuBest, convertCpuBest, epochs / convertCpuBest, floorCpuBest / convertCpuBest);
    std::printf("ratio          %.3f of the I/O floor, %.3f of the raw read rate\n", floorBest / convertBest,
                rawBest / convertBest);
    if (rinex) {
        const char *version = rinexVersion == 211 ? "2.11" : "3.04";
        std::printf("with RINEX %s %.3f s (best of %d): %.2f times the conversion without\n", version, rinexBest,
                    repeat, rinexBest / convertBest);
        std::printf("processor time with RINEX %.3f s (both threads): %.2f times the conversion without\n",
                    rinexCpuBest, rinexCpuBest / convertCpuBest);
        std::sort(rinexRatios.begin(), rinexRatios.end());
        const std::size_t n = rinexRatios.size();
        const double median = n % 2 != 0 ? rinexRatios[n / 2] : (rinexRatios[n / 2 - 1] + rinexRatios[n / 2]) / 2.0;
        std::printf("round by round %.2f times the conversion without (median of %zu rounds, %.2f to %.2f)\n", median,
                    n, rinexRatios.front(), rinexRatios.back());
    }
    std::printf("peak memory    %.1f MB resident\n", PeakRssKb() / 1024.0);
    std::printf("allocations    %llu during one conversion (%u ephemerides)\n", allocations, options.ephemerisCount);
    return 0;
}
