// Pieces shared by the two RINEX writers: fixed-column line building, the
// file whose header is written last, and the creation-date field.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/le.h"
#include "common/path_size.h"

// Observation records of many signals are longer than the 80 columns of
// header and navigation lines; 3 + 16 x 32 columns is the longest written.
inline constexpr std::size_t kRinexLineSize = 560;

// One line under construction. Appends never pass the end; a line that
// would not fit is cut at kRinexLineSize - 1 characters (no writer builds
// such a line).
struct RinexLine {
    char text[kRinexLineSize];
    std::size_t length;
};

void BeginRinexLine(RinexLine *line);
void AppendRinexText(RinexLine *line, const char *text);
// Text left-justified in a field of `width` columns, cut to fit.
void AppendRinexField(RinexLine *line, const char *text, std::size_t width);
void AppendRinexSpaces(RinexLine *line, std::size_t count);
// snprintf-style; the formats used here print no exponents, so the text is
// the same on every runtime.
void AppendRinexFormat(RinexLine *line, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// An integer right-aligned in at least `width` columns, padded with blanks
// or (zeros) with zeros, as printf's %*d or %0*d: for the lines written
// once per epoch and satellite.
void AppendRinexDigits(RinexLine *line, int64_t value, std::size_t width, bool zeros);
// The value in thousandths, rounded to nearest with ties to even; false for
// values that are not finite or 1e12 or more in magnitude.
bool RinexThousandths(double value, int64_t *thousandths);

// The thousandths of a magnitude (the bits of a non-negative double below
// 2^52) rounded exactly, to nearest with ties to even, as printf rounds:
// the magnitude is m * 2^-shift with a 53-bit integer m, so m * 1000 (below
// 2^63) holds it in thousandths exactly and the rounding is integer work,
// the same on every platform and runtime. From a shift of 64 on
// (magnitudes below 2^-11, subnormals too) it rounds to no thousandth.
inline uint64_t RinexExactThousandths(uint64_t magnitudeBits) {
    constexpr uint64_t kMantissaBits = (uint64_t{1} << 52) - 1;
    const int shift = 1075 - static_cast<int>(magnitudeBits >> 52);
    if (shift >= 64) return 0;
    const uint64_t product = ((magnitudeBits & kMantissaBits) | (kMantissaBits + 1)) * 1000u;
    // Half a unit less one, and the last bit of the quotient: an exact half
    // then carries only into an odd quotient (ties to even). The sum stays
    // below 2^64: the product is below 2^63, and so is the half.
    const uint64_t odd = (product >> shift) & 1u;
    return (product + ((uint64_t{1} << (shift - 1)) - 1u + odd)) >> shift;
}

// The digits of 0 to 999 in bytes 1-3 of a word stored little-endian,
// written by one store in front of the digits already in place (byte 0
// lands on the column the next group fills, or stays blank): in full, and
// with leading zeros as blanks for the highest group of a number.
struct RinexDigitGroups {
    uint32_t full[1000];
    uint32_t lead[1000];
    constexpr RinexDigitGroups() : full(), lead() {
        for (uint32_t n = 0; n < 1000; ++n) {
            const uint32_t hundreds = '0' + n / 100, tens = '0' + n / 10 % 10, units = '0' + n % 10;
            full[n] = hundreds << 8 | tens << 16 | units << 24;
            lead[n] = uint32_t{' '} | (n >= 100 ? hundreds : ' ') << 8 | (n >= 10 ? tens : ' ') << 16 | units << 24;
        }
    }
};
inline constexpr RinexDigitGroups kRinexDigitGroups;

// Eight blank columns as one word, and a blank observation field (16
// columns: the value, the loss-of-lock digit and the strength) in two.
inline constexpr uint64_t kRinexBlankWord = 0x2020202020202020u;
inline void PutRinexBlankField(char *at) {
    le::Store<uint64_t>(at, kRinexBlankWord);
    le::Store<uint64_t>(at + 8, kRinexBlankWord);
}

// One observation of an observation record: the value as F14.3 (blank when
// it is 0, not finite or too large for the field), the loss-of-lock digit
// (blank when 0) and the signal strength character, written to the 16
// columns at `at`, which must have room for them. Returns the count of
// columns up to the last one not blank, 0 when all are.
//
// Every value of an observation file comes through here, so it is inline
// and builds the field with a few whole-word stores: a blank word, the
// thousandths with the point, and the integer part three digits a store
// from the units up. The value's rounding is RinexExactThousandths'; a
// negative value that rounds to zero is written "0.000". Over 60 lines
// for that reason: split up, the stores would go through calls.
inline std::size_t PutRinexObservation(char *at, double value, uint8_t lli, char strength) {
    constexpr double kFieldLimit = 1e10;             // 11 integer digits do not fit
    constexpr uint64_t kNegativeLimit = 1000000000u; // 10 digits and the sign do not either
    // Positive doubles order as their bit patterns: one integer compare
    // tells 0, values too large for any field, infinities and NaN apart.
    constexpr uint64_t kSignBit = uint64_t{1} << 63;
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const uint64_t magnitudeBits = bits & ~kSignBit;
    if (magnitudeBits - 1u >= std::bit_cast<uint64_t>(kFieldLimit) - 1u) {
        PutRinexBlankField(at);
        return 0;
    }
    // Rounded exactly, with no quicker way tried first: ties are common,
    // not rare (every sixteenth pseudorange of a RANGECMP record, 1/128 m,
    // ends in a half thousandth).
    const uint64_t thousandths = RinexExactThousandths(magnitudeBits);
    const double magnitude = std::bit_cast<double>(magnitudeBits);
    const bool negative = (bits & kSignBit) != 0 && thousandths != 0;
    uint64_t whole = thousandths / 1000u;
    const uint32_t fraction = static_cast<uint32_t>(thousandths - whole * 1000u);
    // Only magnitudes from 10^9 less a rounding can be too wide.
    if (magnitude >= kNegativeLimit - 1.0 &&
        whole >= (negative ? kNegativeLimit : static_cast<uint64_t>(kFieldLimit))) {
        PutRinexBlankField(at);
        return 0;
    }
    const auto &groups = kRinexDigitGroups;
    le::Store<uint64_t>(at, kRinexBlankWord);
    le::Store<uint32_t>(at + 10, groups.full[fraction] | uint32_t{'.'});
    // The integer part three digits a store from the units up (columns
    // 8-10, 5-7, 2-4, each store's spare first byte overwritten by the
    // next), the highest group with its leading blanks and the sign. Below
    // 10^9 (every value a receiver gives) in 32 bits and without a loop.
    char *group = at + 7; // first column of the highest group
    uint32_t highest = 0;
    if (whole < kNegativeLimit) {
        const uint32_t units = static_cast<uint32_t>(whole);
        if (units >= 1000000u) {
            const uint32_t thousands = units / 1000u, millions = thousands / 1000u;
            le::Store<uint32_t>(at + 6, groups.full[units - thousands * 1000u]);
            le::Store<uint32_t>(at + 3, groups.full[thousands - millions * 1000u]);
            group = at + 1;
            highest = millions;
        } else if (units >= 1000u) {
            const uint32_t thousands = units / 1000u;
            le::Store<uint32_t>(at + 6, groups.full[units - thousands * 1000u]);
            group = at + 4;
            highest = thousands;
        } else {
            highest = units;
        }
    } else {
        while (whole >= 1000u) {
            const uint64_t above = whole / 1000u;
            le::Store<uint32_t>(group - 1, groups.full[whole - above * 1000u]);
            whole = above;
            group -= 3;
        }
        highest = static_cast<uint32_t>(whole);
    }
    if (group > at) {
        le::Store<uint32_t>(group - 1, groups.lead[highest]);
        if (negative) group[highest >= 100u ? -1 : highest >= 10u ? 0 : 1] = '-';
    } else {
        at[0] = static_cast<char>('0' + highest); // the tenth digit of a positive value
    }
    at[14] = lli != 0 ? static_cast<char>('0' + (lli & 7)) : ' ';
    at[15] = strength;
    return strength != ' ' ? 16 : lli != 0 ? 15 : 14;
}

// A value as Fortran Dw.p prints it: 'D', a sign and two exponent digits,
// right-justified in `width` columns, whatever the runtime's printf does.
void AppendRinexExponent(RinexLine *line, double value, std::size_t width, int precision);
// Pads the content to column 60 and adds the header label in columns 61-80.
void FinishRinexHeaderLine(RinexLine *line, const char *label);
// Removes trailing blanks (empty trailing fields of a record).
void TrimRinexLine(RinexLine *line);

// A text file whose records go to a scratch stream until the header is
// known: Finish writes the header into the file itself, then the records.
//
// A file opened with a header bound (the observation file, as large as the
// log or larger) has no scratch stream: copying it behind its header would
// take the whole file a second time. Its first records are held in memory
// (kRinexPreludeBytes); a file that stays that small is written exactly as
// with a scratch stream. Once they outgrow it, the bound says how much room
// the header can need, the file starts with that room, the records follow
// it, and Finish writes the header into the room, the unused part as blank
// COMMENT lines before END OF HEADER. A header that has outgrown its room
// (signals seen only late in a long log) is written into a new file with a
// copy of the records, which takes the place of the first.
using RinexHeaderBound = std::size_t (*)(void *context);
inline constexpr std::size_t kRinexPreludeBytes = std::size_t{1} << 20;
struct DeferredRinexFile {
    std::FILE *file;
    std::FILE *body; // the scratch stream, or the file itself when in place
    bool failed;
    // Set by a writer that runs beside the conversion's thread: a failed
    // write only sets `failed`, and the conversion's thread, which owns the
    // message text, reports it.
    bool quiet;
    // In place: the bound, its argument, the first records, and once the
    // room is made (`committed`) its size on disk.
    RinexHeaderBound headerBound;
    void *boundContext;
    char *prelude;
    std::size_t preludeLength;
    std::size_t preludeCapacity;
    bool committed;
    std::size_t reserved;
    // Record lines gather here and go to the scratch stream in blocks: a
    // stream write per line would cost as much as formatting the line.
    std::size_t blockLength;
    char block[131072];
    char path[kPathBufferSize];
    char bodyPath[kPathBufferSize + 8]; // set when the scratch stream is a file beside it
};

// Bytes a header line takes on disk at most (80 columns and the line end
// of the platform's text files), for header bounds.
#if defined(_WIN32)
inline constexpr std::size_t kRinexLineEndBytes = 2;
#else
inline constexpr std::size_t kRinexLineEndBytes = 1;
#endif
inline constexpr std::size_t kRinexHeaderLineBytes = 80 + kRinexLineEndBytes;

// Creates the file (truncating it) and its scratch stream, or with a
// header bound (called with `context` on the writer's thread, the bytes on
// disk the header can take), the file alone. On failure the message
// "Error: Unable to open %s" is in ErrorText and nothing stays open.
int32_t OpenDeferredRinex(DeferredRinexFile *f, const char *path, RinexHeaderBound bound = nullptr,
                          void *context = nullptr);
// Appends one record line (a line end is added).
int32_t WriteDeferredRinexLine(DeferredRinexFile *f, const RinexLine *line);
// Appends record lines built elsewhere, each with its line end: `length`
// bytes, at most half the block.
int32_t WriteDeferredRinexText(DeferredRinexFile *f, const char *text, std::size_t length);
// Room in the block for a record line of up to `size` characters (at most
// half the block) and its line end, to build the line in place; null when
// the scratch stream has failed, with "Error: Unable to write to %s" in
// ErrorText. CommitDeferredRinexLine then takes its first `length`
// characters and adds the line end.
char *ReserveDeferredRinexLineSlowly(DeferredRinexFile *f, std::size_t size);
// Once per record line: the common case inline.
inline char *ReserveDeferredRinexLine(DeferredRinexFile *f, std::size_t size) {
    if (f->body != nullptr && !f->failed && size + 1 <= sizeof f->block - f->blockLength) {
        return f->block + f->blockLength;
    }
    return ReserveDeferredRinexLineSlowly(f, size);
}
inline void CommitDeferredRinexLine(DeferredRinexFile *f, std::size_t length) {
    if (f->body == nullptr) return;
    f->block[f->blockLength + length] = '\n';
    f->blockLength += length + 1;
}
// Writes the header and the records and closes everything; 1 when any
// write of the file failed, with "Error: Unable to write to %s" in
// ErrorText when `report` is set (a caller finishing several files reports
// only the first failure, and leaves the later ones quiet).
int32_t FinishDeferredRinex(DeferredRinexFile *f, const char *header, std::size_t headerLength, bool report = true);
void DiscardDeferredRinex(DeferredRinexFile *f);

// "PGM / RUN BY / DATE" with the current UTC time.
void AppendRinexProgramLine(RinexLine *line);

// Header text under construction (both headers are at most a few dozen lines).
struct RinexHeaderText {
    char text[16384];
    std::size_t length;
    bool overflow;
};
void BeginRinexHeader(RinexHeaderText *header);
void AppendRinexHeaderLine(RinexHeaderText *header, const RinexLine *line);
