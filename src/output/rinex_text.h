// Pieces shared by the two RINEX writers: fixed-column line building, the
// file whose header is written last, and the creation-date field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
// A value as Fortran Fw.3 would print it; blank when it does not fit the
// field or is not finite.
void AppendRinexFixed3(RinexLine *line, double value, std::size_t width);
// The value in thousandths, rounded to nearest with ties to even; false for
// values that are not finite or 1e12 or more in magnitude.
bool RinexThousandths(double value, int64_t *thousandths);
// One observation of an observation record: the value as F14.3 (blank when
// it is 0, not finite or too large for the field), the loss-of-lock digit
// (blank when 0) and the signal strength character, written to the 16
// columns at `at`, which must have room for them. Returns the count of
// columns up to the last one not blank, 0 when all are.
std::size_t PutRinexObservation(char *at, double value, uint8_t lli, char strength);
// A value as Fortran Dw.p prints it: 'D', a sign and two exponent digits,
// right-justified in `width` columns, whatever the runtime's printf does.
void AppendRinexExponent(RinexLine *line, double value, std::size_t width, int precision);
// Pads the content to column 60 and adds the header label in columns 61-80.
void FinishRinexHeaderLine(RinexLine *line, const char *label);
// Removes trailing blanks (empty trailing fields of a record).
void TrimRinexLine(RinexLine *line);

// A text file whose records go to a scratch stream until the header is
// known: Finish writes the header into the file itself, then the records.
struct DeferredRinexFile {
    std::FILE *file;
    std::FILE *body;
    bool failed;
    // Record lines gather here and go to the scratch stream in blocks: a
    // stream write per line would cost as much as formatting the line.
    std::size_t blockLength;
    char block[32768];
    char path[kPathBufferSize];
    char bodyPath[kPathBufferSize + 8]; // set when the scratch stream is a file beside it
};

// Creates the file (truncating it) and its scratch stream. On failure the
// message "Error: Unable to open %s" is in ErrorText and nothing stays open.
int32_t OpenDeferredRinex(DeferredRinexFile *f, const char *path);
// Appends one record line (a line end is added).
int32_t WriteDeferredRinexLine(DeferredRinexFile *f, const RinexLine *line);
// Room in the block for a record line of up to `size` characters (at most
// half the block) and its line end, to build the line in place; null when
// the scratch stream has failed, with "Error: Unable to write to %s" in
// ErrorText. CommitDeferredRinexLine then takes its first `length`
// characters and adds the line end.
char *ReserveDeferredRinexLine(DeferredRinexFile *f, std::size_t size);
void CommitDeferredRinexLine(DeferredRinexFile *f, std::size_t length);
// Writes the header and the records and closes everything; 1 with
// "Error: Unable to write to %s" when any write of the file failed.
int32_t FinishDeferredRinex(DeferredRinexFile *f, const char *header, std::size_t headerLength);
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
