#include "output/rinex_text.h"

#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#if defined(__linux__)
#include <unistd.h>
#endif

#include "common/error_text.h"
#include "common/gnss_time.h"
#include "output/exponent.h"
#include "output/rinex_file.h"

namespace {

constexpr const char *kUnableToOpen = "Error: Unable to open %s";
constexpr const char *kUnableToWrite = "Error: Unable to write to %s";
constexpr const char *kProgramName = "oem4conv";
constexpr std::size_t kHeaderContentColumns = 60;
constexpr std::size_t kLabelColumns = 20;
// Largest magnitude written in F format (RINEX fields are at most 14 wide).
constexpr double kMaxFixed3 = 1e12;
// GPS time starts on 1980-01-06, 3657 days after 1970-01-01.
constexpr int64_t kGpsEpochDays = 3657;
constexpr int64_t kUnitsPerSecond = 10000000;

int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Civil date of a day count from 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int32_t *year, int32_t *month, int32_t *day) {
    z += 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *month = static_cast<int32_t>(m);
    *day = static_cast<int32_t>(d);
}

} // namespace

RinexCalendar RinexCalendarOf(int64_t units) {
    RinexCalendar c{};
    const int64_t seconds = FloorDiv(units, kUnitsPerSecond);
    c.tenthMicroseconds = static_cast<int32_t>(units - seconds * kUnitsPerSecond);
    const int64_t days = FloorDiv(seconds, kSecondsPerDay);
    const int64_t inDay = seconds - days * kSecondsPerDay;
    CivilFromDays(kGpsEpochDays + days, &c.year, &c.month, &c.day);
    c.hour = static_cast<int32_t>(inDay / 3600);
    c.minute = static_cast<int32_t>(inDay / 60 % 60);
    c.second = static_cast<int32_t>(inDay % 60);
    return c;
}

int64_t RinexTimeUnits(int32_t week, double seconds) {
    // Whole seconds and the fraction are rounded apart so that large
    // seconds of week keep their 0.1 microsecond digit.
    const double whole = std::floor(seconds);
    const int64_t fraction = std::llround((seconds - whole) * static_cast<double>(kUnitsPerSecond));
    return (static_cast<int64_t>(week) * kSecondsPerWeek + static_cast<int64_t>(whole)) * kUnitsPerSecond + fraction;
}

void BeginRinexLine(RinexLine *line) {
    line->text[0] = '\0';
    line->length = 0;
}

void AppendRinexText(RinexLine *line, const char *text) {
    const std::size_t room = sizeof line->text - 1 - line->length;
    std::size_t n = std::strlen(text);
    if (n > room) n = room;
    std::memcpy(line->text + line->length, text, n);
    line->length += n;
    line->text[line->length] = '\0';
}

void AppendRinexSpaces(RinexLine *line, std::size_t count) {
    const std::size_t room = sizeof line->text - 1 - line->length;
    if (count > room) count = room;
    std::memset(line->text + line->length, ' ', count);
    line->length += count;
    line->text[line->length] = '\0';
}

void AppendRinexField(RinexLine *line, const char *text, std::size_t width) {
    std::size_t n = text != nullptr ? std::strlen(text) : 0;
    if (n > width) n = width;
    char field[kRinexLineSize];
    if (n > 0) std::memcpy(field, text, n);
    field[n] = '\0';
    // Control characters of a receiver's text would break the line.
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(field[i]) < 0x20 || static_cast<unsigned char>(field[i]) > 0x7E) {
            field[i] = ' ';
        }
    }
    AppendRinexText(line, field);
    AppendRinexSpaces(line, width - n);
}

void AppendRinexDigits(RinexLine *line, int64_t value, std::size_t width, bool zeros) {
    const std::size_t room = sizeof line->text - 1 - line->length;
    char text[24];
    char *p = text + sizeof text;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0 && !zeros) *--p = '-';
    std::size_t n = static_cast<std::size_t>(text + sizeof text - p);
    while (n < width && p > text) {
        *--p = zeros ? '0' : ' ';
        ++n;
    }
    if (value < 0 && zeros && p > text) {
        *--p = '-';
        ++n;
    }
    if (n > room) n = room;
    std::memcpy(line->text + line->length, p, n);
    line->length += n;
    line->text[line->length] = '\0';
}

void AppendRinexFormat(RinexLine *line, const char *format, ...) {
    char text[kRinexLineSize];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) AppendRinexText(line, text);
}

bool RinexThousandths(double value, int64_t *thousandths) {
    if (!std::isfinite(value) || !(std::fabs(value) < kMaxFixed3)) return false;
    const int64_t rounded = static_cast<int64_t>(RinexExactThousandths(std::bit_cast<uint64_t>(std::fabs(value))));
    *thousandths = value < 0 ? -rounded : rounded;
    return true;
}

namespace {

// The powers of ten a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactPower = 22;
constexpr int kDigits12 = 12; // D19.12: 13 significant digits

// The value's 13 significant digits as an integer scaled by 10^(12 - *decimal),
// when double arithmetic decides them for sure: one multiplication or
// division by an exact power of ten is within 2^-53 of the exact value, a
// thousandth at most for a 13-digit integer, so the rounding is right unless
// the scaled value lies within 1/256 of a tie. False (the library decides)
// then, and where no exact power of ten scales the value.
bool ScaledDigits12(double magnitude, int *decimal, uint64_t *digits) {
    if (!(magnitude >= 1e-10 && magnitude < 1e34)) return false;
    // floor(log10) from the binary exponent, at most one too small.
    const int binary = static_cast<int>(std::bit_cast<uint64_t>(magnitude) >> 52) - 1023;
    int exponent = static_cast<int>(std::floor(binary * 0.30102999566398120));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int scale = kDigits12 - exponent;
        if (scale > kMaxExactPower || -scale > kMaxExactPower) return false;
        const double scaled = scale >= 0 ? magnitude * kExactPowersOfTen[scale] : magnitude / kExactPowersOfTen[-scale];
        if (scaled >= 1e13) {
            ++exponent;
            continue;
        }
        const double shifted = scaled + 0.5;
        uint64_t rounded = static_cast<uint64_t>(shifted);
        if (!(std::fabs(shifted - static_cast<double>(rounded) - 0.5) < 0.5 - 0x1p-8)) return false;
        if (rounded < 1000000000000u) return false; // the estimate was more than one off
        if (rounded == 10000000000000u) {           // rounded up into the next decade
            rounded = 1000000000000u;
            ++exponent;
        }
        *decimal = exponent;
        *digits = rounded;
        return true;
    }
    return false;
}

// "-d.ddddddddddddD+ee" of the 13 digits: what the library writes for them.
std::size_t WriteExponent12(char *text, bool negative, int decimal, uint64_t digits) {
    char *p = text;
    if (negative) *p++ = '-';
    const uint64_t first = digits / 1000000000000u;
    uint64_t rest = digits - first * 1000000000000u;
    p[0] = static_cast<char>('0' + first);
    p[1] = '.';
    // Twelve digits in four groups of three from the right; each store's
    // spare first byte lands on the column the next one fills.
    const auto &groups = kRinexDigitGroups.full;
    for (int at = 10; at >= 1; at -= 3) {
        const uint64_t above = rest / 1000u;
        std::memcpy(p + at, &groups[rest - above * 1000u], 4);
        rest = above;
    }
    p[1] = '.';
    const int magnitude = decimal < 0 ? -decimal : decimal;
    p[14] = 'D';
    p[15] = decimal < 0 ? '-' : '+';
    p[16] = static_cast<char>('0' + magnitude / 10);
    p[17] = static_cast<char>('0' + magnitude % 10);
    p[18] = '\0';
    return static_cast<std::size_t>(p + 18 - text);
}

} // namespace

void AppendRinexExponent(RinexLine *line, double value, std::size_t width, int precision) {
    // Magnitudes below 1e-99 would need a third exponent digit; no broadcast
    // parameter is that small unless it is zero.
    if (std::isfinite(value) && std::fabs(value) < 1e-99) value = 0.0;
    char text[kNumberTextSize];
    // Every value of a navigation record is a D19.12: the library's exact
    // conversion costs several hundred instructions, the common case here a
    // few dozen.
    int decimal = 0;
    uint64_t digits = 0;
    if (precision == kDigits12 && ScaledDigits12(std::fabs(value), &decimal, &digits)) {
        const std::size_t n = WriteExponent12(text, value < 0.0, decimal, digits);
        if (n <= width) {
            AppendRinexSpaces(line, width - n);
            AppendRinexText(line, text);
            return;
        }
    }
    const int n = FormatExponentDigits(text, sizeof text, value, precision, 2, 'D');
    if (n <= 0 || static_cast<std::size_t>(n) > width) {
        AppendRinexSpaces(line, width);
        return;
    }
    AppendRinexSpaces(line, width - static_cast<std::size_t>(n));
    AppendRinexText(line, text);
}

void FinishRinexHeaderLine(RinexLine *line, const char *label) {
    if (line->length > kHeaderContentColumns) {
        line->length = kHeaderContentColumns;
        line->text[line->length] = '\0';
    }
    AppendRinexSpaces(line, kHeaderContentColumns - line->length);
    AppendRinexField(line, label, kLabelColumns);
    TrimRinexLine(line);
}

void TrimRinexLine(RinexLine *line) {
    while (line->length > 0 && line->text[line->length - 1] == ' ') --line->length;
    line->text[line->length] = '\0';
}

void AppendRinexProgramLine(RinexLine *line) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#if defined(_WIN32)
    // One conversion at a time: the runtime's shared result is safe here.
    const std::tm *shared = std::gmtime(&now);
    if (shared != nullptr) utc = *shared;
#else
    gmtime_r(&now, &utc);
#endif
    AppendRinexField(line, kProgramName, 20);
    AppendRinexSpaces(line, 20);
    AppendRinexFormat(line, "%04d%02d%02d %02d%02d%02d UTC ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                      utc.tm_hour, utc.tm_min, utc.tm_sec);
    FinishRinexHeaderLine(line, "PGM / RUN BY / DATE");
}

void BeginRinexHeader(RinexHeaderText *header) {
    header->text[0] = '\0';
    header->length = 0;
    header->overflow = false;
}

void AppendRinexHeaderLine(RinexHeaderText *header, const RinexLine *line) {
    if (header->overflow || line->length + 1 > sizeof header->text - 1 - header->length) {
        header->overflow = true;
        return;
    }
    std::memcpy(header->text + header->length, line->text, line->length);
    header->length += line->length;
    header->text[header->length++] = '\n';
    header->text[header->length] = '\0';
}

int32_t OpenDeferredRinex(DeferredRinexFile *f, const char *path, RinexHeaderBound bound, void *context) {
    std::memset(f, 0, sizeof *f);
    std::snprintf(f->path, sizeof f->path, "%s", path);
    f->file = std::fopen(path, "w");
    if (f->file == nullptr) {
        FormatErrorText(kUnableToOpen, path);
        return 1;
    }
    if (bound != nullptr) {
        f->body = f->file;
        f->headerBound = bound;
        f->boundContext = context;
        // Without the memory the room is made at the first block.
        f->prelude = static_cast<char *>(std::malloc(kRinexPreludeBytes));
        f->preludeCapacity = f->prelude != nullptr ? kRinexPreludeBytes : 0;
        return 0;
    }
    // The scratch stream is a file beside the output, on the same disk and
    // under the user's eye, rather than in a system folder that may be
    // small or full. POSIX forgets its name at once, Windows deletes it when
    // it is closed, so that no end of the program leaves it behind.
    std::snprintf(f->bodyPath, sizeof f->bodyPath, "%s.part", path);
#if defined(_WIN32)
    f->body = std::fopen(f->bodyPath, "w+bD");
#else
    f->body = std::fopen(f->bodyPath, "w+b");
    if (f->body != nullptr && std::remove(f->bodyPath) == 0) f->bodyPath[0] = '\0';
#endif
    if (f->body == nullptr) {
        std::fclose(f->file);
        f->file = nullptr;
        FormatErrorText(kUnableToOpen, f->bodyPath[0] != '\0' ? f->bodyPath : path);
        f->bodyPath[0] = '\0';
        return 1;
    }
    return 0;
}

namespace {

bool WriteAll(std::FILE *to, const char *data, std::size_t n) { return n == 0 || std::fwrite(data, 1, n, to) == n; }

// The header's room, as blanks without a line end (as many bytes on disk
// as characters on every platform), then the records held so far.
bool MakeHeaderRoom(DeferredRinexFile *f) {
    f->committed = true;
    f->reserved = f->headerBound(f->boundContext);
    char blanks[4096];
    std::memset(blanks, ' ', sizeof blanks);
    for (std::size_t left = f->reserved; left > 0;) {
        const std::size_t n = left < sizeof blanks ? left : sizeof blanks;
        if (!WriteAll(f->file, blanks, n)) return false;
        left -= n;
    }
    const bool written = WriteAll(f->file, f->prelude, f->preludeLength);
    std::free(f->prelude);
    f->prelude = nullptr;
    f->preludeLength = f->preludeCapacity = 0;
    return written;
}

bool FlushDeferredBlock(DeferredRinexFile *f) {
    if (!f->failed && f->blockLength > 0) {
        if (f->headerBound != nullptr && !f->committed) {
            if (f->blockLength <= f->preludeCapacity - f->preludeLength) {
                std::memcpy(f->prelude + f->preludeLength, f->block, f->blockLength);
                f->preludeLength += f->blockLength;
                f->blockLength = 0;
                return true;
            }
            if (!MakeHeaderRoom(f)) f->failed = true;
        }
        if (!f->failed && (!WriteAll(f->body, f->block, f->blockLength) || std::ferror(f->body) != 0)) {
            f->failed = true;
        }
    }
    f->blockLength = 0;
    return !f->failed;
}

} // namespace

int32_t WriteDeferredRinexLine(DeferredRinexFile *f, const RinexLine *line) {
    const std::size_t length = line->length < sizeof line->text ? line->length : sizeof line->text - 1;
    char *const at = ReserveDeferredRinexLine(f, length);
    if (at == nullptr) return 1;
    std::memcpy(at, line->text, length);
    CommitDeferredRinexLine(f, length);
    return 0;
}

int32_t WriteDeferredRinexText(DeferredRinexFile *f, const char *text, std::size_t length) {
    if (f->body == nullptr || length == 0) return 0;
    if (length > sizeof f->block - f->blockLength) FlushDeferredBlock(f);
    // Never more than half the block: a fresh block always has the room.
    if (!f->failed && length <= sizeof f->block - f->blockLength) {
        std::memcpy(f->block + f->blockLength, text, length);
        f->blockLength += length;
    }
    if (f->failed) {
        if (!f->quiet) FormatErrorText(kUnableToWrite, f->path);
        return 1;
    }
    return 0;
}

char *ReserveDeferredRinexLineSlowly(DeferredRinexFile *f, std::size_t size) {
    // Without a scratch stream the line is built and dropped, like a
    // written line.
    if (f->body == nullptr) return f->block;
    if (size + 1 > sizeof f->block - f->blockLength) FlushDeferredBlock(f);
    if (f->failed) {
        if (!f->quiet) FormatErrorText(kUnableToWrite, f->path);
        return nullptr;
    }
    return f->block + f->blockLength;
}

namespace {

// Where the system can copy between files itself (Linux; the text stream
// there writes the bytes as they are), the records go from the scratch
// file to the output without passing through this process: one copy of
// the data instead of a read and a write. It stops at the first refusal
// (another file system, an old kernel) and leaves both streams where the
// copying ended, for the ordinary copy to go on from.
void CopyWithinKernel(std::FILE *from, std::FILE *to) {
#if defined(__linux__)
    if (std::fflush(to) != 0) return;
    const int in = fileno(from), out = fileno(to);
    const off_t start = lseek(in, 0, SEEK_CUR);
    if (start < 0) return;
    off_t at = start;
    for (;;) {
        const ssize_t n = copy_file_range(in, &at, out, nullptr, std::size_t{1} << 30, 0);
        if (n <= 0) break;
    }
    std::fseek(from, at, SEEK_SET);
#else
    (void)from;
    (void)to;
#endif
}

// The rest of `from` to `to`: within the kernel where it can, through
// `buffer` from where that stopped. False when a read or a write failed.
bool CopyRest(std::FILE *from, std::FILE *to, char *buffer, std::size_t size) {
    CopyWithinKernel(from, to);
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, size, from)) > 0) {
        if (!WriteAll(to, buffer, n)) return false;
    }
    return std::ferror(from) == 0;
}

// What fills the room the header leaves: blank COMMENT lines of 67 to 80
// columns (the label starts in column 61; blanks after it are allowed),
// and blanks after the header's own lines up to column 80, which also fill
// the gaps no count of COMMENT lines does.
constexpr std::size_t kShortestComment = 67 + kRinexLineEndBytes;
constexpr std::size_t kCommentBlanks = 13;
struct Padding {
    std::size_t comments; // COMMENT lines
    std::size_t blanks;   // blanks after them and after the header lines
    bool fits;
};
Padding PaddingOf(std::size_t gap, std::size_t headerBlanks) {
    Padding p{0, 0, false};
    if (gap > headerBlanks) {
        p.comments = (gap - headerBlanks + kRinexHeaderLineBytes - 1) / kRinexHeaderLineBytes;
    }
    p.fits = p.comments * kShortestComment <= gap;
    p.blanks = p.fits ? gap - p.comments * kShortestComment : 0;
    return p;
}

// Writes one line of `text` (its line end included) with up to `room` blanks
// before the line end, as many as `blanks` has left.
bool WriteWidened(std::FILE *to, const char *text, std::size_t length, std::size_t room, std::size_t *blanks) {
    static constexpr char kBlanks[] =
        "                                                                                ";
    const std::size_t n = *blanks < room ? *blanks : room;
    *blanks -= n;
    return WriteAll(to, text, length - 1) && WriteAll(to, kBlanks, n) && WriteAll(to, "\n", 1);
}

// The header has outgrown its room: a new file beside the first takes the
// header and a copy of the records, and then the first one's name.
bool MoveBehindHeader(DeferredRinexFile *f, const char *header, std::size_t headerLength) {
    bool ok = std::fclose(f->file) == 0;
    f->file = f->body = nullptr;
    char moved[sizeof f->bodyPath];
    std::snprintf(moved, sizeof moved, "%s.part", f->path);
    std::FILE *in = std::fopen(f->path, "r");
    std::FILE *out = std::fopen(moved, "w");
    ok = ok && in != nullptr && out != nullptr && WriteAll(out, header, headerLength) &&
         std::fseek(in, static_cast<long>(f->reserved), SEEK_SET) == 0 && CopyRest(in, out, f->block, sizeof f->block);
    if (in != nullptr) std::fclose(in);
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    if (ok) {
#if defined(_WIN32)
        std::remove(f->path); // rename does not replace a file there
#endif
        ok = std::rename(moved, f->path) == 0;
    }
    if (!ok && out != nullptr) std::remove(moved);
    return ok;
}

// The header into the room made for it, blank COMMENT lines filling what
// it leaves before END OF HEADER (its last line).
bool PlaceHeader(DeferredRinexFile *f, const char *header, std::size_t headerLength) {
    constexpr std::size_t kColumns = 80;
    std::size_t lines = 0, headerBlanks = 0;
    for (std::size_t start = 0, i = 0; i < headerLength; ++i) {
        if (header[i] != '\n') continue;
        ++lines;
        headerBlanks += i - start < kColumns ? kColumns - (i - start) : 0;
        start = i + 1;
    }
    const std::size_t onDisk = headerLength + lines * (kRinexLineEndBytes - 1);
    if (headerLength == 0 || header[headerLength - 1] != '\n') return MoveBehindHeader(f, header, headerLength);
    const Padding padding = onDisk <= f->reserved ? PaddingOf(f->reserved - onDisk, headerBlanks) : Padding{};
    if (!padding.fits) return MoveBehindHeader(f, header, headerLength);
    if (std::fflush(f->file) != 0 || std::fseek(f->file, 0, SEEK_SET) != 0) return false;
    std::size_t blanks = padding.blanks;
    char comment[kShortestComment - kRinexLineEndBytes + 1];
    std::memset(comment, ' ', sizeof comment);
    std::memcpy(comment + 60, "COMMENT\n", 8);
    for (std::size_t start = 0, i = 0; i < headerLength; ++i) {
        if (header[i] != '\n') continue;
        const std::size_t length = i + 1 - start;
        if (i + 1 == headerLength) {
            for (std::size_t n = 0; n < padding.comments; ++n) {
                if (!WriteWidened(f->file, comment, sizeof comment, kCommentBlanks, &blanks)) return false;
            }
        }
        const std::size_t room = length - 1 < kColumns ? kColumns - (length - 1) : 0;
        if (!WriteWidened(f->file, header + start, length, room, &blanks)) return false;
        start = i + 1;
    }
    return blanks == 0;
}

int32_t FinishInPlace(DeferredRinexFile *f, const char *header, std::size_t headerLength, bool report) {
    bool failed = f->failed;
    if (!failed && !f->committed) {
        // Every record is still in memory: the header, then the records.
        failed = !WriteAll(f->file, header, headerLength) || !WriteAll(f->file, f->prelude, f->preludeLength) ||
                 !WriteAll(f->file, f->block, f->blockLength);
    } else if (!failed) {
        failed = !FlushDeferredBlock(f) || !PlaceHeader(f, header, headerLength);
    }
    if (f->file != nullptr) {
        if (std::fflush(f->file) != 0 || std::ferror(f->file) != 0) failed = true;
        if (std::fclose(f->file) != 0) failed = true;
        f->file = f->body = nullptr;
    }
    DiscardDeferredRinex(f);
    if (failed) {
        if (report) FormatErrorText(kUnableToWrite, f->path);
        return 1;
    }
    return 0;
}

} // namespace

int32_t FinishDeferredRinex(DeferredRinexFile *f, const char *header, std::size_t headerLength, bool report) {
    if (f->file == nullptr) return 0;
    if (f->headerBound != nullptr) return FinishInPlace(f, header, headerLength, report);
    if (f->body != nullptr) FlushDeferredBlock(f);
    bool failed = f->failed;
    if (std::fwrite(header, 1, headerLength, f->file) != headerLength) failed = true;
    // The records were written with bare line ends; the file's text stream
    // gives them the platform's line end, like the header's. The block,
    // flushed, carries them across.
    if (f->body != nullptr && std::fflush(f->body) == 0 && std::fseek(f->body, 0, SEEK_SET) == 0) {
        if (!CopyRest(f->body, f->file, f->block, sizeof f->block)) failed = true;
    } else if (f->body != nullptr) {
        failed = true;
    }
    if (std::fflush(f->file) != 0 || std::ferror(f->file) != 0) failed = true;
    if (std::fclose(f->file) != 0) failed = true;
    f->file = nullptr;
    DiscardDeferredRinex(f);
    if (failed) {
        if (report) FormatErrorText(kUnableToWrite, f->path);
        return 1;
    }
    return 0;
}

void DiscardDeferredRinex(DeferredRinexFile *f) {
    if (f->body == f->file) f->body = nullptr; // in place: one stream
    if (f->file != nullptr) std::fclose(f->file);
    f->file = nullptr;
    if (f->body != nullptr) std::fclose(f->body);
    f->body = nullptr;
    std::free(f->prelude);
    f->prelude = nullptr;
    f->preludeLength = f->preludeCapacity = 0;
    if (f->bodyPath[0] != '\0') std::remove(f->bodyPath);
    f->bodyPath[0] = '\0';
}
