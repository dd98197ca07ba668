// The plain-text summary and the JSON form of the report.
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "output/tsq_reader.h"
#include "report.h"

namespace report {
namespace {

// JSON names of the satellite systems, in tracking-status order.
const char *const kLeftOutKeys[8] = {"gps", "glonass", "sbas", "galileo", "beidou", "qzss", "navic", "other"};

double Percent(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

uint64_t CategoryTotal(const ReportData &data, int32_t category) {
    uint64_t total = 0;
    const std::vector<MessageKind> &kinds = MessageKinds();
    for (std::size_t i = 0; i < kinds.size() && i < data.messageCounts.size(); ++i) {
        if (kinds[i].category == category) total += data.messageCounts[i];
    }
    return total;
}

// The length of the well-formed UTF-8 sequence at `p` (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), 0 when none.
std::size_t Utf8SequenceLength(const unsigned char *p, std::size_t left) {
    const unsigned char c = p[0];
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || length > left || p[1] < low || p[1] > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if (p[k] < 0x80 || p[k] > 0xBF) return 0;
    }
    return length;
}

// A character of JSON text (AppendText): quotes, backslashes, control
// characters and the Latin-1 characters of stray bytes escaped.
void JsonCharacter(std::string *out, unsigned code) {
    char text[16];
    if (code == '"' || code == '\\') {
        out->push_back('\\');
        out->push_back(static_cast<char>(code));
    } else if (code < 0x20 || code >= 0x80) {
        std::snprintf(text, sizeof text, "\\u%04x", code);
        out->append(text);
    } else {
        out->push_back(static_cast<char>(code));
    }
}

// JSON writing: numbers that are not finite become null; any text gives a
// valid string (AppendText).
void JsonString(std::FILE *out, const std::string &text) {
    std::string quoted = "\"";
    AppendText(&quoted, text, JsonCharacter);
    quoted.push_back('"');
    std::fputs(quoted.c_str(), out);
}

void JsonNumber(std::FILE *out, double value, const char *format = "%.6f") {
    if (std::isfinite(value))
        std::fprintf(out, format, value);
    else
        std::fputs("null", out);
}

void JsonPath(std::FILE *out, const char *key, bool present, const std::string &path) {
    std::fprintf(out, "    \"%s\": ", key);
    if (present)
        JsonString(out, path);
    else
        std::fputs("null", out);
}

} // namespace

void AppendText(std::string *out, const std::string &text, void (*put)(std::string *out, unsigned code)) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = bytes[i] < 0x80 ? 0 : Utf8SequenceLength(bytes + i, text.size() - i);
        if (n != 0) {
            out->append(text, i, n);
            i += n;
        } else {
            put(out, bytes[i++]);
        }
    }
}

void WriteSummaryText(std::FILE *out, const ReportData &d) {
    if (out == nullptr) return;
    std::fprintf(out, "Observation file  %s (%s, %u channels)\n", d.tsqPath.c_str(),
                 TsqReceiverTypeName(d.receiverType), d.channels);
    if (!d.epochs.empty()) {
        std::fprintf(out, "Time span         week %d %.3f to week %d %.3f (%s to %s GPS), %.1f s\n", d.firstWeek,
                     d.firstTow, d.lastWeek, d.lastTow, FormatTimeOfDay(d.firstTow).c_str(),
                     FormatTimeOfDay(d.lastTow).c_str(), d.lastTime - d.firstTime);
    }
    std::fprintf(out, "Epochs            %" PRIu64 " at %.3f s; %zu gaps, %" PRId64 " epochs missing", d.epochCount,
                 d.rate, d.gaps.size(), d.missingEpochs);
    if (d.rateChanges > 0) std::fprintf(out, "; %" PRIu64 " changes of rate", d.rateChanges);
    if (d.repeatedTimes > 0 || d.backwardSteps > 0) {
        std::fprintf(out, "; %" PRIu64 " repeated times, %" PRIu64 " steps back", d.repeatedTimes, d.backwardSteps);
    }
    std::fputc('\n', out);
    const std::size_t shown = d.gaps.size() < 10 ? d.gaps.size() : 10;
    for (std::size_t i = 0; i < shown; ++i) {
        const Gap &g = d.gaps[i];
        std::fprintf(out, "  gap after week %d %.3f (%s): %.3f s, %" PRId64 " missing\n", WeekAt(d, g.start),
                     TowAt(g.start), FormatTimeOfDay(TowAt(g.start)).c_str(), g.interval, g.missing);
    }
    if (shown < d.gaps.size()) std::fprintf(out, "  ... and %zu more gaps\n", d.gaps.size() - shown);
    std::fprintf(out, "Satellites/epoch  min %d, median %d, max %d\n", d.satsMin, d.satsMedian, d.satsMax);
    std::fprintf(out,
                 "Availability      L1 code %.1f %%, L2 code %.1f %%, L2 phase %.1f %% of %" PRIu64 " observations\n",
                 Percent(d.l1Code, d.measurements), Percent(d.l2Code, d.measurements),
                 Percent(d.l2Phase, d.measurements), d.measurements);
    std::fprintf(out, "Cycle slips       %zu\n", d.slips.size());
    const std::string leftOut = LeftOutText(d);
    if (!leftOut.empty()) std::fprintf(out, "Not in the .tsq   %s\n", leftOut.c_str());
    const std::string signals = SignalsText(d);
    if (!signals.empty()) std::fprintf(out, "Signals (RINEX)   %s\n", signals.c_str());
    std::fprintf(out, "Positions         %" PRIu64 " epochs with a position, %" PRIu64 " with a clock offset\n",
                 d.withPosition, d.withClockOffset);
    if (d.haveEpp) {
        std::fprintf(out, "Ephemerides       %zu for %u satellites, %u almanacs\n", d.ephemerides.size(),
                     d.ephemerisPrns, d.almanacs);
    }
    if (d.haveSta) {
        std::fprintf(out, "Camera marks      %zu, median interval %.3f s, %zu anomalies\n",
                     d.marks.size() + static_cast<std::size_t>(d.unknownWeekMarks), d.markInterval,
                     d.markAnomalies.size());
        for (const MarkAnomaly &a : d.markAnomalies) {
            std::fprintf(out, "  mark #%" PRId64 " at %.6f: %s", a.number, a.tow, MarkAnomalyName(a.kind));
            if (a.kind == kMarkInterval || a.kind == kMarkOutsideSpan) std::fprintf(out, " %.3f s", a.value);
            if (a.kind == kMarkNumberJump) std::fprintf(out, " %.0f", a.value);
            std::fputc('\n', out);
        }
    }
    if (d.haveMessages) {
        std::fprintf(out, "Messages          %" PRIu64 ": %" PRIu64 " framing, %" PRIu64 " refused epochs\n",
                     d.messageCount, CategoryTotal(d, kFraming), CategoryTotal(d, kRefusedEpoch));
        const std::vector<MessageKind> &kinds = MessageKinds();
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            if (d.messageCounts[i] > 0) {
                std::fprintf(out, "  %-44s %" PRIu64 "\n", kinds[i].label, d.messageCounts[i]);
            }
        }
    }
    for (const std::string &p : d.problems) std::fprintf(out, "Problem: %s\n", p.c_str());
}

// Over 60 lines: the document is written top to bottom, one member after
// the other, in the order of the report.
int WriteJson(std::FILE *out, const ReportData &d) {
    std::fputs("{\n  \"files\": {\n", out);
    JsonPath(out, "tsq", d.haveTsq, d.tsqPath);
    std::fputs(",\n", out);
    JsonPath(out, "epp", d.haveEpp, d.eppPath);
    std::fputs(",\n", out);
    JsonPath(out, "sta", d.haveSta, d.staPath);
    std::fputs(",\n", out);
    JsonPath(out, "messages", d.haveMessages, d.messagesPath);
    std::fputs("\n  },\n", out);

    std::fprintf(out, "  \"span\": {\"first_week\": %d, \"first_tow\": ", d.firstWeek);
    JsonNumber(out, d.firstTow, "%.3f");
    std::fprintf(out, ", \"last_week\": %d, \"last_tow\": ", d.lastWeek);
    JsonNumber(out, d.lastTow, "%.3f");
    std::fputs(", \"duration_s\": ", out);
    JsonNumber(out, d.lastTime - d.firstTime, "%.3f");
    std::fputs("},\n", out);

    std::fprintf(out,
                 "  \"epochs\": {\"count\": %" PRIu64 ", \"without_time\": %" PRIu64 ", \"rate_s\": ", d.epochCount,
                 d.badTimeEpochs);
    JsonNumber(out, d.rate);
    std::fprintf(out,
                 ", \"gaps\": %zu, \"missing_epochs\": %" PRId64 ", \"repeated_times\": %" PRIu64
                 ", \"backward_steps\": %" PRIu64 ", \"with_position\": %" PRIu64 ", \"with_clock_offset\": %" PRIu64
                 ", \"rate_changes\": %" PRIu64 "},\n",
                 d.gaps.size(), d.missingEpochs, d.repeatedTimes, d.backwardSteps, d.withPosition, d.withClockOffset,
                 d.rateChanges);
    std::fputs("  \"gap_list\": [", out);
    for (std::size_t i = 0; i < d.gaps.size(); ++i) {
        const Gap &g = d.gaps[i];
        std::fprintf(out, "%s\n    {\"week\": %d, \"tow\": ", i == 0 ? "" : ",", WeekAt(d, g.start));
        JsonNumber(out, TowAt(g.start), "%.3f");
        std::fputs(", \"interval_s\": ", out);
        JsonNumber(out, g.interval, "%.3f");
        std::fprintf(out, ", \"missing\": %" PRId64 "}", g.missing);
    }
    std::fputs(d.gaps.empty() ? "],\n" : "\n  ],\n", out);

    std::fprintf(out, "  \"satellites_per_epoch\": {\"min\": %d, \"median\": %d, \"max\": %d},\n", d.satsMin,
                 d.satsMedian, d.satsMax);
    std::fprintf(out, "  \"observations\": %" PRIu64 ",\n", d.measurements);
    std::fprintf(out, "  \"availability_percent\": {\"l1_code\": %.2f, \"l2_code\": %.2f, \"l2_phase\": %.2f},\n",
                 Percent(d.l1Code, d.measurements), Percent(d.l2Code, d.measurements),
                 Percent(d.l2Phase, d.measurements));

    std::fprintf(out, "  \"cycle_slips\": %zu,\n  \"slip_list\": [", d.slips.size());
    for (std::size_t i = 0; i < d.slips.size(); ++i) {
        const Slip &s = d.slips[i];
        std::fprintf(out, "%s\n    {\"prn\": %u, \"week\": %d, \"tow\": ", i == 0 ? "" : ",", s.prn, WeekAt(d, s.time));
        JsonNumber(out, TowAt(s.time), "%.3f");
        std::fprintf(out, ", \"lock_before_s\": %u, \"lock_after_s\": %u}", s.lockBefore, s.lockAfter);
    }
    std::fputs(d.slips.empty() ? "],\n" : "\n  ],\n", out);

    std::fputs("  \"prns\": [", out);
    bool first = true;
    for (int prn = 0; prn < kPrnSlots; ++prn) {
        const PrnStats &p = d.prns[prn];
        if (p.epochs == 0) continue;
        std::fprintf(out, "%s\n    {\"prn\": %d, \"epochs\": %u, \"l2_epochs\": %u, \"slips\": %u, \"outages\": %u}",
                     first ? "" : ",", prn, p.epochs, p.l2Epochs, p.slips, p.outages);
        first = false;
    }
    std::fputs(first ? "],\n" : "\n  ],\n", out);

    std::fprintf(out, "  \"ephemerides\": %zu,\n  \"ephemeris_prns\": %u,\n  \"almanacs\": %u,\n", d.ephemerides.size(),
                 d.ephemerisPrns, d.almanacs);
    std::fputs("  \"mean_position\": ", out);
    if (d.haveMeanPosition) {
        std::fputs("{\"latitude_deg\": ", out);
        JsonNumber(out, d.meanLatitude, "%.9f");
        std::fputs(", \"longitude_deg\": ", out);
        JsonNumber(out, d.meanLongitude, "%.9f");
        std::fputs(", \"height_m\": ", out);
        JsonNumber(out, d.meanHeight, "%.3f");
        std::fputs("},\n", out);
    } else {
        std::fputs("null,\n", out);
    }

    std::fprintf(out,
                 "  \"marks\": {\"count\": %zu, \"of_unset_week\": %" PRIu64
                 ", \"unreadable_lines\": %u, \"median_interval_s\": ",
                 d.marks.size() + static_cast<std::size_t>(d.unknownWeekMarks), d.unknownWeekMarks, d.badMarkLines);
    JsonNumber(out, d.markInterval);
    std::fprintf(out, ", \"anomaly_count\": %zu, \"anomalies\": [", d.markAnomalies.size());
    for (std::size_t i = 0; i < d.markAnomalies.size(); ++i) {
        const MarkAnomaly &a = d.markAnomalies[i];
        std::fprintf(out, "%s\n    {\"number\": %" PRId64 ", \"tow\": ", i == 0 ? "" : ",", a.number);
        JsonNumber(out, a.tow);
        std::fprintf(out, ", \"kind\": \"%s\", \"value\": ", MarkAnomalyName(a.kind));
        JsonNumber(out, a.value, "%.6f");
        std::fputc('}', out);
    }
    std::fputs(d.markAnomalies.empty() ? "]},\n" : "\n  ]},\n", out);

    std::fputs("  \"messages\": ", out);
    if (d.haveMessages) {
        std::fprintf(out, "{\"count\": %" PRIu64 ", \"framing\": %" PRIu64 ", \"refused_epochs\": %" PRIu64,
                     d.messageCount, CategoryTotal(d, kFraming), CategoryTotal(d, kRefusedEpoch));
        const std::vector<MessageKind> &kinds = MessageKinds();
        for (std::size_t i = 0; i < kinds.size(); ++i) {
            std::fprintf(out, ", \"%s\": %" PRIu64, kinds[i].key, d.messageCounts[i]);
        }
        std::fputs("},\n", out);
    } else {
        std::fputs("null,\n", out);
    }

    // Known only from the conversion's messages.
    std::fputs("  \"left_out\": ", out);
    if (d.haveMessages) {
        std::fputc('{', out);
        for (uint32_t k = 0; k < 8; ++k) {
            std::fprintf(out, "%s\"%s\": %" PRIu64, k == 0 ? "" : ", ", kLeftOutKeys[k], d.leftOut[k]);
        }
        std::fprintf(out,
                     ", \"epochs_cut\": %" PRIu64 ", \"satellites_cut\": %" PRIu64
                     ", \"compressed_observations_cut\": %" PRIu64 ", \"log_bytes_skipped\": %" PRIu64
                     ", \"log_bytes_in_other_records\": %" PRIu64 ", \"records_dropped_length\": %" PRIu64
                     ", \"other_mark_inputs\": %" PRIu64 ", \"mark_positions_only\": %" PRIu64 "},\n",
                     d.cutEpochs, d.cutSatellites, d.compressedCutObservations, d.bytesSkipped, d.skippedInOtherRecords,
                     d.lengthDropped, d.otherMarks, d.markPositionsOnly);
    } else {
        std::fputs("null,\n", out);
    }

    // Known only when the conversion wrote RINEX.
    std::fputs("  \"signals\": ", out);
    if (d.haveObs) {
        std::fputc('{', out);
        for (std::size_t k = 0; k < d.signals.size(); ++k) {
            // The names come from the RINEX header as written, which a
            // damaged file may fill with quotes or backslashes.
            std::fputs(k == 0 ? "" : ", ", out);
            JsonString(out, d.signals[k].system + d.signals[k].code);
            std::fprintf(out, ": %" PRIu64, d.signals[k].count);
        }
        std::fputs("},\n", out);
    } else {
        std::fputs("null,\n", out);
    }

    std::fputs("  \"problems\": [", out);
    for (std::size_t i = 0; i < d.problems.size(); ++i) {
        std::fputs(i == 0 ? "" : ", ", out);
        JsonString(out, d.problems[i]);
    }
    std::fputs("]\n}\n", out);
    return std::ferror(out) != 0 ? 1 : 0;
}

} // namespace report
