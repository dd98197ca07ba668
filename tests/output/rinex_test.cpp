// The RINEX writers, read back by the tests' own reader: number fields,
// dates, event order, the header's declarations, the navigation record and
// write failures.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "common/error_text.h"
#include "output/exponent.h"
#include "output/rinex_file.h"
#include "output/rinex_text.h"
#include "support/rinex_reader.h"
#include "temp_files.h"

namespace {

// The writers' records: large, so not on the stack.
RinexObsWriter g_writer;
RinexNavWriter g_navWriter;

std::string DField(double value) {
    char text[kNumberTextSize];
    FormatExponentDigits(text, sizeof text, value, 12, 2, 'D');
    return text;
}

RinexSignalObs Signal(const char *code, double c, double l, double d, double s, uint8_t lli = 0) {
    RinexSignalObs o{};
    std::snprintf(o.code, sizeof o.code, "%s", code);
    o.c = c;
    o.l = l;
    o.d = d;
    o.s = s;
    o.lli = lli;
    return o;
}

// A satellite with its signals, as the tests build it; Epoch lays the
// signals out as the writer takes them.
struct Sat {
    char system;
    uint8_t number;
    int8_t frequency;
    uint8_t count;
    RinexSignalObs signals[kRinexMaxSignals];
};

Sat Gps(uint8_t prn, double c1, double l1) {
    Sat s{};
    s.system = 'G';
    s.number = prn;
    s.frequency = kRinexNoFrequency;
    s.count = 1;
    s.signals[0] = Signal("1C", c1, l1, -1234.5, 45.0);
    return s;
}

RinexEpoch Epoch(double seconds, std::initializer_list<Sat> sats) {
    static RinexEpoch e; // large: not on the stack
    e = RinexEpoch{};
    e.week = 1400;
    e.seconds = seconds;
    for (const Sat &s : sats) {
        e.sats[e.count++] = RinexSatObs{s.system, s.number, s.frequency, s.count, static_cast<uint16_t>(e.signalCount)};
        for (int k = 0; k < s.count; ++k) e.signals[e.signalCount++] = s.signals[k];
    }
    return e;
}

} // namespace

TEST(RinexNumbers, DFieldsHaveTwoExponentDigitsOnEveryRuntime) {
    EXPECT_EQ(DField(-8.782278746371e-05), "-8.782278746371D-05");
    EXPECT_EQ(DField(302400.0), "3.024000000000D+05");
    EXPECT_EQ(DField(0.0), "0.000000000000D+00");
    EXPECT_EQ(DField(9.9999999999999e-10), "1.000000000000D-09");
    // An exponent that needs three digits keeps them rather than change the value.
    EXPECT_EQ(DField(1e-100), "1.000000000000D-100");
    char text[kNumberTextSize];
    FormatExponentDigits(text, sizeof text, 1.1176e-08, 4, 2, 'D');
    EXPECT_STREQ(text, "1.1176D-08");
}

// The navigation records' D19.12 fields take a short way for most values;
// they must read as the exact conversion does, whatever the scale, at
// decade boundaries and near rounding ties.
TEST(RinexNumbers, NavigationFieldsMatchTheExactConversion) {
    auto ours = [](double v) {
        RinexLine line;
        BeginRinexLine(&line);
        AppendRinexExponent(&line, v, 19, 12);
        return std::string(line.text);
    };
    auto exact = [](double v) {
        std::string text = DField(std::isfinite(v) && std::fabs(v) < 1e-99 ? 0.0 : v);
        return text.size() > 19 ? std::string(19, ' ') : std::string(19 - text.size(), ' ') + text;
    };
    for (const double v : std::initializer_list<double>{0.0, -0.0, 1.0, -1.0, 9.9999999999995, 9.99999999999949, 1e-10,
                                                        9.99999999999e-11, 1e34, -8.782278746371e-05, 302400.0,
                                                        1.25e-13, 4.656612873077e-10, 1e-100, NAN, INFINITY}) {
        EXPECT_EQ(ours(v), exact(v)) << v;
    }
    uint64_t state = 7;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const double v = static_cast<double>(static_cast<int64_t>(state >> 11)) *
                         std::ldexp(1.0, -static_cast<int>((state >> 2) % 150)) * ((state & 1) != 0 ? -1.0 : 1.0);
        ASSERT_EQ(ours(v), exact(v)) << v;
    }
}

// Observation values are rounded to thousandths on exact integers, ties to
// even, so every runtime writes the same digits (their printf "%.3f" do not
// agree on ties). Ties are common: RANGECMP values are multiples of 1/256.
TEST(RinexNumbers, ThousandthsAreRoundedExactlyLikeACorrectPrintf) {
    auto ours = [](double v) {
        int64_t t = 0;
        EXPECT_TRUE(RinexThousandths(v, &t));
        return t;
    };
    EXPECT_EQ(ours(607.0625), 607062); // tie: to even
    EXPECT_EQ(ours(0.1875), 188);      // tie: to even
    EXPECT_EQ(ours(-1414.6914), -1414691);
    EXPECT_EQ(ours(9999999999.9994), 9999999999999);
    EXPECT_EQ(ours(1e-300), 0);
    int64_t t = 0;
    EXPECT_FALSE(RinexThousandths(1e12, &t));
    EXPECT_FALSE(RinexThousandths(NAN, &t));
    // Against glibc's correctly rounded printf on values of every scale.
    uint64_t state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const double unit = std::ldexp(1.0, -static_cast<int>((state >> 40) % 12)); // 1 down to 1/2048
        const double v = static_cast<double>(static_cast<int64_t>(state >> 20) % 40000000000) * unit *
                         ((state & 1) != 0 ? -1.0 : 1.0) / 256.0;
        char text[64];
        std::snprintf(text, sizeof text, "%.3f", v);
        const int64_t expected = std::llround(std::strtod(text, nullptr) * 1000.0);
        ASSERT_EQ(ours(v), expected) << text;
    }
}

// The observation field is "%14.3f" of the value, then the LLI digit and
// the strength, or sixteen blanks when the value is not observed or does not
// fit. One exception to printf: a negative value that rounds to zero is
// written "0.000", as the files always had it.
std::string PrintfField(double v, uint8_t lli, char strength) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%14.3f", v);
    if (v == 0.0 || !std::isfinite(v) || n > 14) return std::string(16, ' ');
    std::string field(text);
    if (field == "        -0.000") field = "         0.000";
    return field + (lli != 0 ? static_cast<char>('0' + (lli & 7)) : ' ') + strength;
}

std::string OurField(double v, uint8_t lli, char strength, std::size_t *end = nullptr) {
    char text[17];
    std::size_t n = PutRinexObservation(text, v, lli, strength);
    if (end != nullptr) *end = n;
    return std::string(text, 16);
}

TEST(RinexNumbers, ObservationFieldsMatchPrintfOrStayBlank) {
    const double kTies[] = {0.0625,  -0.0625, 0.1875,   607.0625,        2.0005,         1.0005,          0.0005,
                            -0.0005, 99.9995, 999.9995, 8589934592.0625, 123456789.0625, -123456789.0625, 1234.5675};
    const double kEdges[] = {// The integer digits at every group boundary.
                             0.0004, 0.001, 0.999, 999.999, 1000.0, 999999.9995, 1e6, 99999999.9996, 999999999.999, 1e9,
                             // The largest that fit, and the first that do not (positive: ten
                             // digits; negative: nine and the sign).
                             9999999999.9994, 9999999999.9996, 1e10, -999999999.9994, -999999999.9996, -1e9, -3.5,
                             -12345.678,
                             // Never observed, or nothing a field can show.
                             0.0, -0.0, NAN, INFINITY, -INFINITY, 1e300, -1.7976931348623157e308,
                             // Rounded to zero, also from below.
                             1e-300, -1e-300, 5e-324, -0.0004};
    for (const double *list : {std::begin(kTies), std::begin(kEdges)}) {
        const double *end = list == std::begin(kTies) ? std::end(kTies) : std::end(kEdges);
        for (const double *v = list; v != end; ++v) {
            EXPECT_EQ(OurField(*v, 0, ' '), PrintfField(*v, 0, ' ')) << *v;
        }
    }
    // The LLI digit and the strength follow a written value only, and the
    // count of columns up to the last not blank follows them.
    std::size_t columns = 0;
    EXPECT_EQ(OurField(-1414.6914, 1, '7', &columns), "     -1414.69117");
    EXPECT_EQ(columns, 16u);
    EXPECT_EQ(OurField(20081811.013, 9, ' ', &columns), "  20081811.0131 ");
    EXPECT_EQ(columns, 15u);
    EXPECT_EQ(OurField(45.0, 0, ' ', &columns), "        45.000  ");
    EXPECT_EQ(columns, 14u);
    EXPECT_EQ(OurField(2e10, 1, '7', &columns), std::string(16, ' '));
    EXPECT_EQ(columns, 0u);
    // Values of every scale, as receivers give them (multiples of 1/256,
    // where ties are common) and with all their bits.
    uint64_t state = 99;
    for (int i = 0; i < 300000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        const double sign = (state & 1) != 0 ? -1.0 : 1.0;
        const double v = (state & 2) != 0 ? static_cast<double>(static_cast<int64_t>(state >> 24)) / 256.0 *
                                                std::ldexp(1.0, -static_cast<int>((state >> 4) % 40)) * sign
                                          : static_cast<double>(static_cast<int64_t>(state >> 11)) *
                                                std::ldexp(1.0, -static_cast<int>((state >> 3) % 64)) * sign;
        ASSERT_EQ(OurField(v, 0, ' '), PrintfField(v, 0, ' ')) << v;
    }
}

TEST(RinexCalendar, GpsTimesBecomeDatesWithoutASixtiethSecond) {
    auto date = [](int32_t week, double seconds) {
        const RinexCalendar c = RinexCalendarOf(RinexTimeUnits(week, seconds));
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%07d", c.year, c.month, c.day, c.hour, c.minute,
                      c.second, c.tenthMicroseconds);
        return std::string(text);
    };
    EXPECT_EQ(date(0, 0.0), "1980-01-06 00:00:00.0000000");
    EXPECT_EQ(date(1400, 305702.0869139446), "2006-11-08 12:55:02.0869139");
    EXPECT_EQ(date(2094, 604799.0), "2020-02-29 23:59:59.0000000");
    // Rounded to 0.1 microsecond into the next day, not to second 60.
    EXPECT_EQ(date(2094, 604799.99999996), "2020-03-01 00:00:00.0000000");
    // A mark just before the week's start (clock offset removed) keeps its date.
    EXPECT_EQ(date(1400, -0.25), "2006-11-04 23:59:59.7500000");
}

// The epoch lines of both versions are built without printf; every field,
// the clock offset above all, must read as printf gives it: offsets near a
// rounding tie of the last digit, tiny negative ones (a minus sign on
// zeros), ones that round up to a whole second (printf's own then), and
// times with every digit of the seconds in use.
TEST(RinexObsWriter, EpochLinesReadAsPrintfWritesThem) {
    const double offsets[] = {
        -3.975e-7, 4.744820000005e-4, 1.2345678905e-4, -7.5000000005e-8, 2.4999999995e-10,   -1e-13,
        5e-13,     0.9999999996,      -0.99999999949,  0.999999999999,   1.0000000000005e-3, -6.2e-5};
    const double seconds[] = {302400.0, 302400.05, 302459.9999999, 388799.1234567, 302409.5, 345600.0000001};
    Sat glonass = Gps(7, 2.1e7, 1.3e8);
    glonass.system = 'R';
    glonass.frequency = 2;
    for (const int32_t version : {304, 211}) {
        SCOPED_TRACE(version);
        ScratchFile file("lines.obs");
        ASSERT_EQ(OpenRinexObs(&g_writer, file.c_str(), version, kRinexObsInline), 0);
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < std::size(offsets); ++i) {
            RinexEpoch e =
                Epoch(seconds[i % std::size(seconds)], {Gps(3, 2.2e7, 1.1e8), Gps(5, 2.3e7, 1.2e8), glonass});
            e.clockOffset = offsets[i];
            ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
            const RinexCalendar c = RinexCalendarOf(RinexTimeUnits(e.week, e.seconds));
            char line[128];
            if (version == 304) {
                std::snprintf(line, sizeof line, "> %04d %02d %02d %02d %02d%3d.%07d  %d%3d      %15.12f", c.year,
                              c.month, c.day, c.hour, c.minute, c.second, c.tenthMicroseconds, 0, 3, offsets[i]);
            } else {
                std::snprintf(line, sizeof line, " %02d %2d %2d %2d %2d%3d.%07d  %d%3dG03G05R07%27s%12.9f",
                              c.year % 100, c.month, c.day, c.hour, c.minute, c.second, c.tenthMicroseconds, 0, 3, "",
                              offsets[i]);
            }
            expected.push_back(line);
        }
        ASSERT_EQ(CloseRinexObs(&g_writer, nullptr), 0);
        std::istringstream text(file.Text());
        std::vector<std::string> lines;
        bool body = false;
        for (std::string l; std::getline(text, l);) {
            if (body && (version == 304 ? l.rfind("> ", 0) == 0 : l.size() > 32 && l[1] != ' ' && l[3] == ' ')) {
                lines.push_back(l);
            }
            body = body || l.find("END OF HEADER") != std::string::npos;
        }
        EXPECT_EQ(lines, expected);
        // The times go back once: the header's first and last observation
        // still bound every epoch.
        for (const auto &[at, label] :
             {std::pair{302400.0, "TIME OF FIRST OBS"}, {388799.1234567, "TIME OF LAST OBS"}}) {
            const RinexCalendar c = RinexCalendarOf(RinexTimeUnits(1400, at));
            char line[128];
            std::snprintf(line, sizeof line, "%6d%6d%6d%6d%6d%5d.%07d     GPS         %s", c.year, c.month, c.day,
                          c.hour, c.minute, c.second, c.tenthMicroseconds, label);
            EXPECT_NE(file.Text().find(line), std::string::npos) << line;
        }
        // Both systems were written: a mixed file.
        EXPECT_EQ(file.Text().substr(40, 20), version == 304 ? "M: Mixed            " : "M (MIXED)           ");
    }
}

TEST(RinexObsWriter, EventsLandInTimeOrderAmongTheEpochsAndCarryTheirNumber) {
    ScratchFile file("events.obs");
    ASSERT_EQ(OpenRinexObs(&g_writer, file.c_str(), 304), 0);
    RinexEpoch e = Epoch(10.0, {Gps(5, 2.1e7, 1.1e8)});
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    for (double t : {11.0, 12.0}) {
        e.seconds = t;
        ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    }
    // Logged after the epoch at 12 s, it belongs between 10 and 11.
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 10.4999999, 7), 0);
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 12.0, 8), 0); // same time as an epoch: after it
    e.seconds = 13.0;
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    // Epochs more than two seconds old are written; an event older than
    // them still goes out, at once.
    e.seconds = 16.0;
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 12.5, 9), 0);
    // A pulse just after an epoch, logged before that epoch's record.
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 17.00001, 11), 0);
    e.seconds = 17.0;
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    // The log's time goes back (a second session): the first session's
    // held epochs and events go out before it, and its events among its
    // own epochs; the last event, after every epoch, at the close.
    // Its first pulse is logged before its first epoch. A pulse logged
    // twice is written once; a mark no date can show, not at all.
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 5.00001, 13), 0);
    for (double t : {5.0, 6.0}) {
        e.seconds = t;
        ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    }
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 5.5, 10), 0);
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 5.5, 10), 0);
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, NAN, 14), 0);
    ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 7.0, 12), 0);
    RinexObsHeader header{};
    header.markerName = "FLIGHT7";
    ASSERT_EQ(CloseRinexObs(&g_writer, &header), 0);
    EXPECT_EQ(RinexObsLateEvents(&g_writer), 1u); // 12.5 s, after 13 s
    EXPECT_EQ(RinexObsRepeatedEvents(&g_writer), 1u);
    EXPECT_EQ(RinexObsUndatedEvents(&g_writer), 1u);

    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(file.path, &obs), "");
    std::vector<std::pair<int, double>> order;
    for (const auto &epoch : obs.epochs) order.emplace_back(epoch.flag, rinexread::SecondsOfWeek(epoch));
    const std::vector<std::pair<int, double>> expected = {
        {0, 10.0}, {5, 10.4999999}, {0, 11.0}, {0, 12.0},    {5, 12.0}, {0, 13.0}, {5, 12.5}, {0, 16.0},
        {0, 17.0}, {5, 17.00001},   {0, 5.0},  {5, 5.00001}, {5, 5.5},  {0, 6.0},  {5, 7.0}};
    ASSERT_EQ(order.size(), expected.size());
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i].first, expected[i].first) << i;
        EXPECT_NEAR(order[i].second, expected[i].second, 1e-9) << i;
    }
    const rinexread::ObsEpoch &event = obs.epochs[1];
    EXPECT_EQ(event.count, 1);
    ASSERT_EQ(event.special.size(), 1u);
    EXPECT_EQ(event.special[0].label, "COMMENT");
    EXPECT_EQ(event.special[0].content.substr(0, 15), "CAMERA PULSE #7");
    EXPECT_EQ(rinexread::Labelled(obs.header, "MARKER NAME")[0].content.substr(0, 8), "FLIGHT7 ");
}

// A log of camera marks without range records: the file of its events
// still has the header records the format requires.
TEST(RinexObsWriter, AFileOfEventsAloneHasItsRequiredHeader) {
    for (int32_t version : {304, 211}) {
        SCOPED_TRACE(version);
        ScratchFile file("events-alone.obs");
        ASSERT_EQ(OpenRinexObs(&g_writer, file.c_str(), version), 0);
        ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 10.5, 1), 0);
        ASSERT_EQ(WriteRinexEvent(&g_writer, 1400, 12.0, 2), 0);
        ASSERT_EQ(CloseRinexObs(&g_writer, nullptr), 0);
        rinexread::ObsFile obs;
        ASSERT_EQ(version == 304 ? rinexread::ReadCheckedObs(file.path, &obs) : rinexread::ReadObs(file.path, &obs),
                  "");
        ASSERT_EQ(obs.epochs.size(), 2u);
        const auto first = rinexread::Labelled(obs.header, "TIME OF FIRST OBS");
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].content.substr(0, 43), "  2006    11     5     0     0   10.5000000");
    }
}

// A satellite whose values are all blank (no lock, no Doppler, no C/No)
// still has its record, so its system is declared even when no other
// record of the system has a value.
TEST(RinexObsWriter, ASystemOfBlankRecordsIsDeclared) {
    ScratchFile file("blank-system.obs");
    ASSERT_EQ(OpenRinexObs(&g_writer, file.c_str(), 304), 0);
    Sat blank = Gps(20, 0.0, 0.0);
    blank.system = 'S';
    blank.signals[0] = Signal("1C", 0.0, 0.0, 0.0, 0.0);
    RinexEpoch e = Epoch(10.0, {Gps(5, 2.1e7, 1.1e8), blank});
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    ASSERT_EQ(CloseRinexObs(&g_writer, nullptr), 0);
    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(file.path, &obs), "");
    ASSERT_EQ(obs.epochs.size(), 1u);
    EXPECT_EQ(obs.epochs[0].sats.size(), 2u);
}

TEST(RinexObsWriter, HeaderDeclaresTheTypesAndChannelsUsedAndValuesReadBack) {
    ScratchFile file("mixed.obs");
    ASSERT_EQ(OpenRinexObs(&g_writer, file.c_str(), 304), 0);
    // L2C before L1 in the record: the columns follow the system's order.
    Sat l2c = Gps(3, 22000000.1234, -115000000.5);
    l2c.signals[1] = l2c.signals[0];
    l2c.signals[1].lli = 1;
    l2c.signals[0] = Signal("2S", 22000003.0, -89000000.25, 0.0, 38.0, 3);
    l2c.count = 2;
    Sat huge = Gps(9, 21000000.0, 1e11); // no F14.3 can hold this phase
    huge.signals[0].s = 0.0;             // strength unknown
    Sat glonass{};
    glonass.system = 'R';
    glonass.number = 7;
    glonass.frequency = -4;
    glonass.count = 2;
    glonass.signals[0] = Signal("1C", 20000000.5, 107000000.125, 0.0, 0.0);
    glonass.signals[1] = Signal("2P", 20000001.5, 83000000.0, 0.0, 0.0);
    Sat galileo = Gps(11, 2e7, 1e8);
    galileo.system = 'E';
    Sat unknown = Gps(12, 2e7, 1e8);
    unknown.signals[0] = Signal("9Z", 2e7, 1e8, 0.0, 0.0); // no column: not written, not counted
    RinexEpoch e = Epoch(100.0, {l2c, galileo, huge, unknown, glonass});
    e.clockOffset = -3.975e-7;
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    e.seconds = 101.0;
    e.clockOffset = 0.0;
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    e.seconds = 104.0;        // a gap of whole intervals keeps the interval
    e.sats[4].frequency = -3; // the header holds one channel a slot: the change is counted
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    RinexObsHeader header{};
    header.hasPosition = true;
    header.x = 4277962.8984;
    header.y = 643162.9485;
    header.z = 4673046.7513;
    ASSERT_EQ(CloseRinexObs(&g_writer, &header), 0);

    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadCheckedObs(file.path, &obs), "");
    EXPECT_EQ(obs.system, 'M');
    EXPECT_EQ(obs.types['G'], (std::vector<std::string>{"C1C", "L1C", "D1C", "S1C", "C2W", "L2W", "D2W", "S2W", "C2S",
                                                        "L2S", "D2S", "S2S"}));
    EXPECT_EQ(obs.types['R'], (std::vector<std::string>{"C1C", "L1C", "D1C", "S1C", "C2P", "L2P"}));
    EXPECT_EQ(obs.types['E'], (std::vector<std::string>{"C1C", "L1C", "D1C", "S1C"}));
    EXPECT_EQ(obs.phaseShifts['G'], (std::vector<std::string>{"L1C", "L2W", "L2S"}));
    EXPECT_EQ(obs.glonassFrequency, (std::map<int, int>{{7, -3}}));
    RinexGlonassChange change{};
    EXPECT_EQ(RinexObsGlonassChannelChanges(&g_writer, &change), 1u);
    EXPECT_EQ(+change.slot, 7);
    EXPECT_EQ(+change.from, -4);
    EXPECT_EQ(+change.to, -3);
    EXPECT_EQ(rinexread::Labelled(obs.header, "INTERVAL")[0].content.substr(0, 10), "     1.000");
    EXPECT_EQ(rinexread::Labelled(obs.header, "APPROX POSITION XYZ")[0].content.substr(0, 42),
              "  4277962.8984   643162.9485  4673046.7513");
    EXPECT_EQ(rinexread::Labelled(obs.header, "TIME OF FIRST OBS")[0].content,
              "  2006    11     5     0     1   40.0000000     GPS         ");
    ASSERT_EQ(obs.epochs.size(), 3u);
    EXPECT_TRUE(obs.epochs[0].hasClock);
    EXPECT_NEAR(obs.epochs[0].clockOffset, -3.975e-7, 1e-15);
    EXPECT_FALSE(obs.epochs[1].hasClock);

    const auto &sats = obs.epochs[0].sats;
    ASSERT_EQ(sats.size(), 4u);
    EXPECT_EQ(sats[0].system, 'G');
    EXPECT_EQ(sats[0].number, 3);
    EXPECT_DOUBLE_EQ(sats[0].values[0].value, 22000000.123);
    EXPECT_DOUBLE_EQ(sats[0].values[1].value, -115000000.5);
    EXPECT_EQ(sats[0].values[1].lli, 1);
    EXPECT_EQ(sats[0].values[1].ssi, 7);     // 45 dB-Hz
    EXPECT_FALSE(sats[0].values[4].present); // no P(Y) on this satellite
    EXPECT_DOUBLE_EQ(sats[0].values[8].value, 22000003.0);
    EXPECT_DOUBLE_EQ(sats[0].values[9].value, -89000000.25);
    EXPECT_EQ(sats[0].values[9].lli, 3);
    EXPECT_EQ(sats[0].values[9].ssi, 6); // 38 dB-Hz
    EXPECT_FALSE(sats[0].values[10].present);
    EXPECT_DOUBLE_EQ(sats[0].values[11].value, 38.0);
    EXPECT_EQ(sats[1].system, 'E');
    EXPECT_FALSE(sats[2].values[1].present); // too large: not observed
    EXPECT_FALSE(sats[2].values[3].present);
    EXPECT_EQ(sats[3].system, 'R');
    EXPECT_DOUBLE_EQ(sats[3].values[5].value, 83000000.0);
}

// RINEX 2.11 takes each type from one signal: L2 from the P code where the
// satellite has one and C2 from L2C, the P1 code without its phase; a
// phase carries its signal's LLI and strength digit, no other value any.
TEST(RinexObsWriter, Rinex211TakesEachTypeFromItsSignalWithFlagsOnPhasesOnly) {
    ScratchFile file("v211.obs");
    ASSERT_EQ(OpenRinexObs(&g_writer, file.c_str(), 211), 0);
    Sat g = Gps(5, 21000000.5, -110000000.25);
    g.signals[0].lli = 1;
    g.signals[1] = Signal("2S", 21000002.0, -86000000.5, -950.0, 38.0, 2);
    g.signals[2] = Signal("2W", 21000001.0, -85000000.5, -951.0, 30.0, 3);
    g.signals[3] = Signal("1W", 21000000.75, -109999999.0, 0.0, 0.0, 1);
    g.signals[4] = Signal("5Q", 21000003.0, -83000000.0, -900.0, 50.0, 1);
    g.count = 5;
    RinexEpoch e = Epoch(100.0, {g});
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    ASSERT_EQ(CloseRinexObs(&g_writer, nullptr), 0);

    rinexread::ObsFile obs;
    ASSERT_EQ(rinexread::ReadObs(file.path, &obs), ""); // the format checks are RINEX 3's
    ASSERT_EQ(obs.epochs.size(), 1u);
    ASSERT_EQ(obs.epochs[0].sats.size(), 1u);
    const rinexread::SatRecord &sat = obs.epochs[0].sats[0];
    struct Expected {
        const char *type;
        double value;
        int lli, ssi;
    };
    for (const Expected &x : {Expected{"C1", 21000000.5, 0, 0},
                              {"L1", -110000000.25, 1, 7},
                              {"D1", -1234.5, 0, 0},
                              {"S1", 45.0, 0, 0},
                              {"P1", 21000000.75, 0, 0},
                              {"C2", 21000002.0, 0, 0},
                              {"P2", 21000001.0, 0, 0},
                              {"L2", -85000000.5, 3, 5},
                              {"D2", -951.0, 0, 0},
                              {"S2", 30.0, 0, 0},
                              {"C5", 21000003.0, 0, 0},
                              {"L5", -83000000.0, 1, 8},
                              {"D5", -900.0, 0, 0},
                              {"S5", 50.0, 0, 0}}) {
        SCOPED_TRACE(x.type);
        const rinexread::ObsValue *v = rinexread::ValueOf(obs, sat, x.type);
        ASSERT_NE(v, nullptr);
        EXPECT_TRUE(v->present);
        EXPECT_DOUBLE_EQ(v->value, x.value);
        EXPECT_EQ(v->lli, x.lli);
        EXPECT_EQ(v->ssi, x.ssi);
    }
}

TEST(RinexNavWriter, EveryParameterReadsBackAndTheBroadcastWeekIsResolved) {
    GpsEphRecord e{};
    e.prn = 30;
    e.week = 1400 % 1024;
    e.toc = 0;
    e.toe = 0;
    e.af0 = -8.782278746371e-05;
    e.af1 = -6.821210263297e-13;
    e.af2 = 0.0;
    e.iode = 123;
    e.crs = -25.28125;
    e.deltaN = 4.011238512756e-09;
    e.m0 = 1.607549412268;
    e.cuc = 5.804002285004e-06;
    e.e = 1.301914500073e-02;
    e.cus = 4.945322871208e-06;
    e.sqrtA = 5154.096340179;
    e.cic = 1.620501279830e-07;
    e.omega0 = -3.033259075737;
    e.cis = 4.097819328306e-08;
    e.i0 = 0.9745337655407;
    e.crc = 259.46875;
    e.omega = -1.336725361349;
    e.omegaDot = -8.332132781060e-09;
    e.idot = -3.046555472693e-10;
    e.tgd = 1.396983861923e-09;
    e.iodc = 635;

    ScratchFile file("eph.nav");
    ASSERT_EQ(OpenRinexNav(&g_navWriter, file.c_str()), 0);
    // Received 10 s before the end of week 1400: toe 0 is the next week's.
    ASSERT_EQ(WriteRinexNavEphemeris(&g_navWriter, &e, 1400, 604790.0, NAN), 0);
    // The week of the toe follows the sending (seconds of the broadcast
    // week) wherever the logging lies: one the receiver kept and logged
    // days later, in the next week; one whose subframe named the toe's
    // week though sent in the week before; one logged before the receiver
    // knew the week (its time unknown); one of which neither time is known.
    struct Timing {
        int32_t toe;
        int32_t week;
        double logged, sent;
        std::vector<int> date;
        double toeWeek, transmission;
    };
    const Timing timings[] = {{518400, 1401, 259195.0, 518394.0, {2006, 11, 11, 0, 0, 0}, 1400, 863995.0},
                              {0, 1399, 604780.0, 604734.0, {2006, 11, 5, 0, 0, 0}, 1400, -20.0},
                              {0, 1401, NAN, 600000.0, {2006, 11, 12, 0, 0, 0}, 1401, -4800.0},
                              {7200, 1401, NAN, NAN, {2006, 11, 5, 2, 0, 0}, 1400, 0.9999e9}};
    for (const Timing &t : timings) {
        e.toc = e.toe = t.toe;
        ASSERT_EQ(WriteRinexNavEphemeris(&g_navWriter, &e, t.week, t.logged, t.sent), 0);
    }
    e.toc = e.toe = 0;
    RinexNavHeader header{};
    header.hasIonUtc = true;
    header.alpha[0] = 1.1176e-08;
    header.beta[3] = -262144.0;
    header.utcA0 = -5.5879354477e-09;
    header.utcReferenceTime = 61440;
    header.utcReferenceWeek = 1401;
    header.leapSeconds = 14;
    header.futureLeapSeconds = 14;
    header.leapWeek = 1401;
    header.leapDay = 7;
    ASSERT_EQ(CloseRinexNav(&g_navWriter, &header), 0);

    rinexread::NavFile nav;
    ASSERT_EQ(rinexread::ReadCheckedNav(file.path, &nav), "");
    ASSERT_EQ(nav.records.size(), 1u + std::size(timings));
    for (std::size_t i = 0; i < std::size(timings); ++i) {
        const rinexread::NavRecord &r = nav.records[i + 1];
        const Timing &t = timings[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(std::vector<int>({r.year, r.month, r.day, r.hour, r.minute, r.second}), t.date);
        EXPECT_EQ(r.orbit[4][2], t.toeWeek);
        EXPECT_EQ(r.orbit[6][0], t.transmission);
    }
    const rinexread::NavRecord &r = nav.records[0];
    EXPECT_EQ(r.number, 30);
    EXPECT_EQ(std::vector<int>({r.year, r.month, r.day, r.hour, r.minute, r.second}),
              std::vector<int>({2006, 11, 12, 0, 0, 0}));
    auto same = [](double a, double b) { return std::fabs(a - b) <= 1e-12 * std::fabs(b); };
    EXPECT_TRUE(same(r.clock[0], e.af0));
    EXPECT_TRUE(same(r.clock[1], e.af1));
    const double expected[7][4] = {{123, e.crs, e.deltaN, e.m0},
                                   {e.cuc, e.e, e.cus, e.sqrtA},
                                   {0, e.cic, e.omega0, e.cis},
                                   {e.i0, e.crc, e.omega, e.omegaDot},
                                   {e.idot, 0, 1401, 0},
                                   {0, 0, e.tgd, 635},
                                   {-10, 0, 0, 0}};
    const bool present[7][4] = {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1},
                                {1, 0, 1, 0}, {0, 1, 1, 1}, {1, 0, 0, 0}};
    for (int o = 0; o < 7; ++o) {
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(r.present[o][k], present[o][k]) << o << "," << k;
            if (present[o][k]) {
                EXPECT_TRUE(same(r.orbit[o][k], expected[o][k])) << o << "," << k;
            }
        }
    }
    EXPECT_EQ(rinexread::Labelled(nav.header, "IONOSPHERIC CORR")[0].content.substr(0, 17), "GPSA   1.1176D-08");
    EXPECT_EQ(rinexread::Labelled(nav.header, "LEAP SECONDS")[0].content.substr(0, 27), "    14    14  1401     7GPS");
}

// The scratch stream takes the records; the full disk shows when the file
// itself is written at close.
TEST(RinexWriteFailure, BothFilesReportTheFullDisk) {
    std::FILE *probe = std::fopen("/dev/full", "w");
    if (probe == nullptr) GTEST_SKIP() << "no /dev/full";
    std::fclose(probe);
    SetErrorText("");
    ASSERT_EQ(OpenRinexObs(&g_writer, "/dev/full", 304), 0);
    RinexEpoch e = Epoch(10.0, {Gps(1, 2e7, 1e8)});
    ASSERT_EQ(WriteRinexObsEpoch(&g_writer, &e), 0);
    EXPECT_EQ(CloseRinexObs(&g_writer, nullptr), 1);
    EXPECT_STREQ(ErrorText, "Error: Unable to write to /dev/full");

    SetErrorText("");
    ASSERT_EQ(OpenRinexNav(&g_navWriter, "/dev/full"), 0);
    EXPECT_EQ(CloseRinexNav(&g_navWriter, nullptr), 1);
    EXPECT_STREQ(ErrorText, "Error: Unable to write to /dev/full");

    EXPECT_EQ(OpenRinexObs(&g_writer, "/nonexistent-dir/x.obs", 304), 1);
    EXPECT_STREQ(ErrorText, "Error: Unable to open /nonexistent-dir/x.obs");

    // A write that fails on the writer's thread (records past the first
    // megabyte go to the disk) reaches the caller with its reason in errno,
    // whatever errno the caller's thread held.
    ASSERT_EQ(OpenRinexObs(&g_writer, "/dev/full", 304), 0);
    int32_t failed = 0;
    int reason = 0;
    for (int i = 0; i < 200000 && failed == 0; ++i) {
        e.seconds = 10.0 + i;
        errno = ENOENT;
        failed = WriteRinexObsEpoch(&g_writer, &e);
        reason = errno;
    }
    if (failed == 0) {
        errno = ENOENT;
        failed = CloseRinexObs(&g_writer, nullptr);
        reason = errno;
    } else {
        DiscardRinexObs(&g_writer);
    }
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(reason, ENOSPC) << std::strerror(reason);
}
