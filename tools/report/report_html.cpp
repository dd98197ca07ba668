// The HTML report: one file, inline SVG and CSS, nothing to fetch and no
// script. Drawings are thinned to what the pixels can show: tracking runs
// closer than a pixel are joined, series keep their minimum and maximum per
// pixel column, the receiver track one mark per occupied cell.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "common/physics.h"
#include "output/tsq_reader.h"
#include "report.h"

namespace report {
namespace {

constexpr int kPlotLeft = 70;
constexpr int kPlotWidth = 1000;
constexpr int kSvgWidth = kPlotLeft + kPlotWidth + 30;
constexpr int kRowHeight = 14;
constexpr std::size_t kTableRowsShown = 200;

constexpr const char *kStyle =
    "body{font-family:sans-serif;margin:20px;color:#222;background:#fff}"
    "h1{font-size:22px}h2{font-size:18px;border-bottom:2px solid #36c;padding-bottom:3px;margin-top:28px}"
    "table{border-collapse:collapse;font-size:13px}td,th{border:1px solid #bbb;padding:3px 8px;text-align:left}"
    "th{background:#e8eef8}td.n{text-align:right}.bad{color:#b00;font-weight:bold}.ok{color:#070}"
    "p.note{font-size:13px;color:#555}svg{display:block;margin:8px 0}"
    "svg text{font-family:sans-serif;font-size:11px;fill:#333}";

// Appending formatted text to a string: the whole page is built in memory
// and written with one call.
void Put(std::string *s, const char *format, ...)
#if defined(__MINGW32__)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3))) // the C99 printf of the Windows tools
#elif defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Put(std::string *s, const char *format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        s->append(small, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    s->append(big.data(), static_cast<std::size_t>(n));
}

// A character of HTML text (AppendText): markup escaped, a control
// character spelt as the JSON spells it, a stray byte's Latin-1 character
// by its number.
void HtmlCharacter(std::string *out, unsigned code) {
    char text[16];
    switch (code) {
    case '<': out->append("&lt;"); return;
    case '>': out->append("&gt;"); return;
    case '&': out->append("&amp;"); return;
    case '"': out->append("&quot;"); return;
    default: break;
    }
    if (code < 0x20 || code == 0x7F) {
        std::snprintf(text, sizeof text, "\\u%04x", code);
    } else if (code >= 0x80) {
        std::snprintf(text, sizeof text, "&#x%x;", code);
    } else {
        out->push_back(static_cast<char>(code));
        return;
    }
    out->append(text);
}

void Escaped(std::string *s, const std::string &text) { AppendText(s, text, HtmlCharacter); }

double Percent(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

std::string PrnColour(int prn) {
    char text[40];
    std::snprintf(text, sizeof text, "hsl(%d,70%%,38%%)", (prn * 67) % 360);
    return text;
}

// Maps a continuous time to the plot's x.
struct TimeScale {
    double t0, t1;
    double X(double t) const {
        return t1 > t0 ? kPlotLeft + (t - t0) / (t1 - t0) * kPlotWidth : kPlotLeft + kPlotWidth / 2.0;
    }
    double PixelTime() const { return t1 > t0 ? (t1 - t0) / kPlotWidth : 1.0; }
};

void TimeAxis(std::string *s, const TimeScale &scale, int y) {
    static const double kSteps[] = {1,   2,    5,    10,   30,    60,    120,   300,  600,
                                    900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    const double span = scale.t1 - scale.t0;
    double step = kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
    for (double candidate : kSteps) {
        if (span / candidate <= 10) {
            step = candidate;
            break;
        }
    }
    // Sessions of many days (or damaged times) get whole-day ticks, still
    // about ten of them.
    if (span / step > 10) step = std::ceil(span / 10 / step) * step;
    Put(s, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#555\"/>\n", kPlotLeft, y, kPlotLeft + kPlotWidth,
        y);
    if (!(span > 0)) return;
    for (double t = std::ceil(scale.t0 / step) * step; t <= scale.t1; t += step) {
        const double x = scale.X(t);
        std::string label = FormatTimeOfDay(TowAt(t));
        if (step >= 60) label = label.substr(0, 5);
        Put(s,
            "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#555\"/>"
            "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
            x, y, x, y + 4, x, y + 16, label.c_str());
        // Times far from zero (a damaged epoch time) may be coarser than
        // the step, which would then never move them on.
        if (t + step <= t) break;
    }
}

// The box a label of the page's 11-pixel font covers, from its baseline
// start: the font's full height and a digit's advance per character, as
// the browser measures them.
struct LabelBox {
    double left, top, right, bottom;
};
LabelBox TextBox(double x, double y, int characters) { return {x, y - 11.0, x + 7.2 * characters, y + 3.0}; }
bool Overlap(const LabelBox &a, const LabelBox &b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

// A plot coordinate's whole pixel, from 0 to limit. Damaged times or marks
// 1e308 s apart make a scale infinite and a coordinate no number at all,
// which no cast to int may see.
int Pixel(double x, int limit) { return x > 0 ? (x < limit ? static_cast<int>(x) : limit) : 0; }

// 1, 2 or 5 times a power of ten, at least `rough`.
double NiceStep(double rough) {
    if (!(rough > 0) || !std::isfinite(rough)) return 1.0;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= rough) return m * power;
    return 10.0 * power;
}

// ---- sections -------------------------------------------------------------------
// Over 60 lines: the summary table's rows in the order they are shown.
void SummarySection(std::string *s, const ReportData &d) {
    s->append("<section id=\"summary\"><h2>Summary</h2>\n<table>\n");
    auto row = [&](const char *name, const std::string &value, bool bad = false) {
        Put(s, "<tr><th>%s</th><td%s>", name, bad ? " class=\"bad\"" : "");
        Escaped(s, value);
        s->append("</td></tr>\n");
    };
    char text[512];
    row("Observation file", d.tsqPath);
    std::snprintf(text, sizeof text, "%s, %u channels", TsqReceiverTypeName(d.receiverType), d.channels);
    row("Receiver", text);
    if (!d.epochs.empty()) {
        std::snprintf(text, sizeof text, "week %d %.3f to week %d %.3f (%s to %s GPS), %.1f s", d.firstWeek, d.firstTow,
                      d.lastWeek, d.lastTow, FormatTimeOfDay(d.firstTow).c_str(), FormatTimeOfDay(d.lastTow).c_str(),
                      d.lastTime - d.firstTime);
        row("Time span", text);
    }
    int n = std::snprintf(text, sizeof text, "%" PRIu64 " epochs, logging rate %.3f s (%.2f Hz)", d.epochCount, d.rate,
                          d.rate > 0 ? 1.0 / d.rate : 0.0);
    if (d.rateChanges > 0 && n > 0 && static_cast<std::size_t>(n) < sizeof text) {
        std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "; the rate changes %" PRIu64 " times",
                      d.rateChanges);
    }
    row("Epochs", text);
    std::snprintf(text, sizeof text, "%zu gaps, %" PRId64 " epochs missing", d.gaps.size(), d.missingEpochs);
    row("Gaps", text, !d.gaps.empty());
    if (d.repeatedTimes > 0 || d.backwardSteps > 0) {
        std::snprintf(text, sizeof text, "%" PRIu64 " repeated epoch times, %" PRIu64 " steps back in time",
                      d.repeatedTimes, d.backwardSteps);
        row("Time order", text, true);
    }
    std::snprintf(text, sizeof text, "min %d, median %d, max %d", d.satsMin, d.satsMedian, d.satsMax);
    row("Satellites per epoch", text);
    std::snprintf(text, sizeof text, "L1 code %.1f %%, L2 code %.1f %%, L2 phase %.1f %% of %" PRIu64 " observations",
                  Percent(d.l1Code, d.measurements), Percent(d.l2Code, d.measurements),
                  Percent(d.l2Phase, d.measurements), d.measurements);
    row("Availability", text);
    std::snprintf(text, sizeof text, "%zu", d.slips.size());
    row("Cycle slips", text, !d.slips.empty());
    const std::string leftOut = LeftOutText(d);
    if (!leftOut.empty()) row("Not in the .tsq file", leftOut, true);
    const std::string signals = SignalsText(d);
    if (!signals.empty()) row("Signals in the RINEX file", signals);
    std::snprintf(text, sizeof text, "%" PRIu64 " epochs with a position, %" PRIu64 " with a clock offset",
                  d.withPosition, d.withClockOffset);
    row("Positions", text);
    if (d.haveEpp) {
        std::snprintf(text, sizeof text, "%zu ephemerides for %u satellites, %u almanacs", d.ephemerides.size(),
                      d.ephemerisPrns, d.almanacs);
        row("Ephemerides", text, d.ephemerides.empty());
    } else {
        row("Ephemerides", "no ephemeris file", true);
    }
    if (d.haveSta) {
        std::snprintf(text, sizeof text, "%zu marks, %zu anomalies",
                      d.marks.size() + static_cast<std::size_t>(d.unknownWeekMarks), d.markAnomalies.size());
        row("Camera marks", text, !d.markAnomalies.empty());
    }
    s->append("</table>\n");
    for (const std::string &p : d.problems) {
        s->append("<p class=\"bad\">");
        Escaped(s, p);
        s->append("</p>\n");
    }
    if (!d.gaps.empty()) {
        s->append("<h3>Gaps</h3>\n<table><tr><th>After (week, seconds)</th><th>GPS time</th><th>Interval (s)</th>"
                  "<th>Missing epochs</th></tr>\n");
        for (std::size_t i = 0; i < d.gaps.size() && i < kTableRowsShown; ++i) {
            const Gap &g = d.gaps[i];
            Put(s, "<tr><td>%d %.3f</td><td>%s</td><td class=\"n\">%.3f</td><td class=\"n\">%" PRId64 "</td></tr>\n",
                WeekAt(d, g.start), TowAt(g.start), FormatTimeOfDay(TowAt(g.start)).c_str(), g.interval, g.missing);
        }
        s->append("</table>\n");
        if (d.gaps.size() > kTableRowsShown) {
            Put(s, "<p class=\"note\">... and %zu more gaps (all are in the JSON).</p>\n",
                d.gaps.size() - kTableRowsShown);
        }
    }
    s->append("</section>\n");
}

void DrawRuns(std::string *s, const std::vector<TimeRun> &runs, const TimeScale &scale, double y, double h,
              const char *colour) {
    // Runs closer than a pixel are drawn as one.
    const double join = scale.PixelTime();
    std::size_t i = 0;
    while (i < runs.size()) {
        double start = runs[i].start, end = runs[i].end;
        ++i;
        while (i < runs.size() && runs[i].start - end <= join) end = std::max(end, runs[i++].end);
        const double x0 = scale.X(start), x1 = scale.X(end);
        Put(s, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"/>", x0, y,
            std::max(x1 - x0, 1.0), h, colour);
    }
    s->push_back('\n');
}

void TrackingSection(std::string *s, const ReportData &d) {
    s->append("<section id=\"tracking\"><h2>Satellite tracking</h2>\n");
    std::vector<int> rows;
    for (int prn = 0; prn < kPrnSlots; ++prn) {
        if (d.prns[prn].epochs > 0) rows.push_back(prn);
    }
    if (rows.empty() || d.epochs.empty()) {
        s->append("<p>No satellite was observed.</p></section>\n");
        return;
    }
    const TimeScale scale{d.firstTime, d.lastTime};
    const int top = 20;
    const int height = top + static_cast<int>(rows.size()) * kRowHeight + 30;
    Put(s, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n", kSvgWidth, height);
    Put(s,
        "<rect x=\"%d\" y=\"2\" width=\"12\" height=\"8\" fill=\"#2a6fd6\"/><text x=\"%d\" y=\"10\">L1</text>"
        "<rect x=\"%d\" y=\"2\" width=\"12\" height=\"8\" fill=\"#2e9e4a\"/><text x=\"%d\" y=\"10\">L2</text>"
        "<rect x=\"%d\" y=\"2\" width=\"12\" height=\"8\" fill=\"#e33\" opacity=\"0.35\"/><text x=\"%d\" y=\"10\">data gap</text>"
        "<rect x=\"%d\" y=\"1\" width=\"3\" height=\"10\" fill=\"#d00\"/><text x=\"%d\" y=\"10\">cycle slip</text>\n",
        kPlotLeft, kPlotLeft + 16, kPlotLeft + 50, kPlotLeft + 66, kPlotLeft + 100, kPlotLeft + 116, kPlotLeft + 190,
        kPlotLeft + 198);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const int prn = rows[r];
        const double y = top + static_cast<double>(r) * kRowHeight;
        if (r % 2 == 0) {
            Put(s, "<rect x=\"%d\" y=\"%.0f\" width=\"%d\" height=\"%d\" fill=\"#f3f5f9\"/>", kPlotLeft, y, kPlotWidth,
                kRowHeight);
        }
        Put(s, "<text x=\"%d\" y=\"%.0f\" text-anchor=\"end\">%s%02d</text>\n", kPlotLeft - 6, y + 11,
            prn <= 32 ? "G" : "PRN ", prn);
        DrawRuns(s, d.prns[prn].l1, scale, y + 2, 5, "#2a6fd6");
        DrawRuns(s, d.prns[prn].l2, scale, y + 7, 5, "#2e9e4a");
    }
    const double bottom = top + static_cast<double>(rows.size()) * kRowHeight;
    double drawnTo = -1;
    for (const Gap &g : d.gaps) {
        const double x0 = scale.X(g.start), x1 = scale.X(g.start + g.interval);
        if (x1 < drawnTo + 1) continue; // already covered at this resolution
        drawnTo = std::max(x1, x0 + 1.5);
        Put(s, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%.0f\" fill=\"#e33\" opacity=\"0.35\"/>\n", x0, top,
            std::max(x1 - x0, 1.5), bottom - top);
    }
    // At most one slip mark per pixel and row.
    std::vector<int> lastPixel(kPrnSlots, -1);
    std::vector<int> rowOf(kPrnSlots, 0);
    for (std::size_t r = 0; r < rows.size(); ++r) rowOf[rows[r]] = static_cast<int>(r);
    for (const Slip &slip : d.slips) {
        const double x = scale.X(slip.time);
        const int pixel = Pixel(x, kPlotLeft + kPlotWidth);
        if (pixel == lastPixel[slip.prn]) continue;
        lastPixel[slip.prn] = pixel;
        Put(s, "<rect x=\"%.1f\" y=\"%.0f\" width=\"3\" height=\"%d\" fill=\"#d00\"/>", x - 1,
            top + static_cast<double>(rowOf[slip.prn]) * kRowHeight, kRowHeight);
    }
    s->push_back('\n');
    TimeAxis(s, scale, static_cast<int>(bottom) + 2);
    s->append("</svg>\n</section>\n");
}

// Over 60 lines: the sky plot's grid, tracks and labels are drawn in one
// pass over the same scale.
void SkySection(std::string *s, const ReportData &d) {
    s->append("<section id=\"sky\"><h2>Sky plot</h2>\n");
    if (!d.haveMeanPosition) {
        s->append("<p>No epoch carries a position, so no satellite directions can be computed.</p></section>\n");
        return;
    }
    if (d.sky.empty()) {
        s->append("<p>No GPS ephemeris of the EPP file covers the session.</p></section>\n");
        return;
    }
    Put(s,
        "<p class=\"note\">Seen from latitude %.6f&deg;, longitude %.6f&deg;, height %.1f m "
        "(mean of the epochs' positions); north up, elevation 0&deg; at the rim.</p>\n",
        d.meanLatitude, d.meanLongitude, d.meanHeight);
    const double cx = 300, cy = 290, radius = 260;
    s->append("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"620\" height=\"590\">\n");
    for (int e = 0; e < 90; e += 30) {
        Put(s, "<circle cx=\"%.0f\" cy=\"%.0f\" r=\"%.1f\" fill=\"%s\" stroke=\"#999\"/>", cx, cy,
            radius * (90 - e) / 90.0, e == 0 ? "#f7f9fc" : "none");
        Put(s, "<text x=\"%.0f\" y=\"%.1f\">%d&deg;</text>\n", cx + 3, cy - radius * (90 - e) / 90.0 + 12, e);
    }
    Put(s, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#ccc\"/>", cx, cy - radius, cx, cy + radius);
    Put(s, "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#ccc\"/>\n", cx - radius, cy, cx + radius,
        cy);
    Put(s,
        "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">N</text><text x=\"%.0f\" y=\"%.0f\">E</text>"
        "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"middle\">S</text><text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\">W</text>\n",
        cx, cy - radius - 6, cx + radius + 4, cy + 4, cx, cy + radius + 16, cx - radius - 4, cy + 4);
    // The fixed texts first, so that no satellite label lands on them.
    std::vector<LabelBox> taken;
    for (int e = 0; e < 90; e += 30) taken.push_back(TextBox(cx + 3, cy - radius * (90 - e) / 90.0 + 12, 3));
    taken.push_back(TextBox(cx - 5, cy - radius - 6, 1));
    taken.push_back(TextBox(cx + radius + 4, cy + 4, 1));
    taken.push_back(TextBox(cx - 5, cy + radius + 16, 1));
    taken.push_back(TextBox(cx - radius - 14, cy + 4, 1));
    // Each piece above the horizon ends in a dot with the PRN; the dots are
    // drawn with the tracks, the labels placed afterwards around them.
    struct PieceEnd {
        double x, y;
        double dx, dy; // the track's last direction, where it would go on
        int prn;
    };
    std::vector<PieceEnd> ends;
    for (const SkyTrack &track : d.sky) {
        const std::string colour = PrnColour(track.prn);
        std::string path, dots;
        bool pen = false;
        double lastX = 0, lastY = 0, beforeX = 0, beforeY = 0;
        auto end = [&]() {
            Put(&dots, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"/>", lastX, lastY, colour.c_str());
            ends.push_back({lastX, lastY, lastX - beforeX, lastY - beforeY, track.prn});
            taken.push_back({lastX - 3, lastY - 3, lastX + 3, lastY + 3});
        };
        for (const SkyPoint &p : track.points) {
            if (p.elevation < 0) {
                if (pen) end();
                pen = false;
                continue;
            }
            const double r = radius * (90.0 - p.elevation) / 90.0;
            const double a = p.azimuth * kPi / 180.0;
            beforeX = pen ? lastX : cx + r * std::sin(a);
            beforeY = pen ? lastY : cy - r * std::cos(a);
            lastX = cx + r * std::sin(a);
            lastY = cy - r * std::cos(a);
            Put(&path, "%s%.1f %.1f ", pen ? "L" : "M", lastX, lastY);
            pen = true;
        }
        if (pen) end();
        if (path.empty()) continue;
        Put(s, "<path d=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\"/>", path.c_str(), colour.c_str());
        s->append(dots);
        s->push_back('\n');
    }
    // Labels whose satellites end close together (two setting side by
    // side) would print over one another: each takes the first free place
    // around its dot, further out with a leader line when the near ones are
    // taken.
    for (const PieceEnd &end : ends) {
        double x = end.x + 5, y = end.y - 3;
        bool leader = false;
        bool placed = false;
        for (int ring = 0; ring < 6 && !placed; ++ring) {
            const double reach = 5 + 9.0 * ring;
            std::array<std::array<double, 2>, 6> offsets = {{{reach, -3 - ring * 2.0},
                                                             {reach, 12 + ring * 2.0},
                                                             {-reach - 21, -3 - ring * 2.0},
                                                             {-reach - 21, 12 + ring * 2.0},
                                                             {-10, -reach - 3},
                                                             {-10, reach + 12}}};
            // Ahead of the track first, where its line does not run.
            auto ahead = [&](const std::array<double, 2> &o) { return (o[0] + 10) * end.dx + (o[1] - 4) * end.dy; };
            std::stable_sort(offsets.begin(), offsets.end(),
                             [&](const auto &a, const auto &b) { return ahead(a) > ahead(b); });
            for (const auto &offset : offsets) {
                const LabelBox box = TextBox(end.x + offset[0], end.y + offset[1], 3);
                if (std::none_of(taken.begin(), taken.end(), [&](const LabelBox &t) { return Overlap(t, box); })) {
                    x = end.x + offset[0];
                    y = end.y + offset[1];
                    leader = ring > 1;
                    placed = true;
                    break;
                }
            }
        }
        taken.push_back(TextBox(x, y, 3));
        if (leader)
            Put(s, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#999\"/>", end.x, end.y,
                x > end.x ? x - 1 : x + 22, y - 4);
        Put(s, "<text x=\"%.1f\" y=\"%.1f\">G%02d</text>\n", x, y, end.prn);
    }
    s->append("</svg>\n</section>\n");
}

// Over 60 lines: the table and the plot of the marks, drawn in one pass.
void MarksSection(std::string *s, const ReportData &d) {
    s->append("<section id=\"marks\"><h2>Camera marks</h2>\n");
    if (!d.haveSta) {
        s->append("<p>No mark file.</p></section>\n");
        return;
    }
    Put(s, "<p>%zu marks, median interval %.3f s, <span class=\"%s\">%zu anomalies</span>.</p>\n", d.marks.size(),
        d.markInterval, d.markAnomalies.empty() ? "ok" : "bad", d.markAnomalies.size());
    if (d.marks.size() >= 2) {
        // Histogram of the intervals over 0 .. 2 x median, with the rest in
        // the last bin.
        constexpr int kBins = 40;
        uint64_t bins[kBins + 1] = {};
        double hi = d.markInterval > 0 ? 2 * d.markInterval : 1.0;
        for (std::size_t i = 1; i < d.marks.size(); ++i) {
            const double iv = d.marks[i].time - d.marks[i - 1].time;
            // An interval over an infinite median (inf / inf) is the rest's.
            const double at = iv / hi * kBins;
            const int b = iv < 0 ? 0 : std::isnan(at) ? kBins : Pixel(at, kBins);
            bins[b] += 1;
        }
        uint64_t most = 1;
        for (uint64_t b : bins) most = std::max(most, b);
        const int w = 600, h = 160, left = kPlotLeft, top = 10;
        const double bw = static_cast<double>(w) / (kBins + 1);
        Put(s, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n", left + w + 40, h + top + 40);
        for (int b = 0; b <= kBins; ++b) {
            if (bins[b] == 0) continue;
            const double bh = std::max(1.0, static_cast<double>(bins[b]) / static_cast<double>(most) * h);
            Put(s,
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"><title>%" PRIu64
                "</title></rect>",
                left + b * bw, top + h - bh, bw - 1, bh, b == kBins ? "#d33" : "#2a6fd6", bins[b]);
        }
        Put(s, "\n<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#555\"/>", left, top + h, left + w, top + h);
        Put(s,
            "<text x=\"%d\" y=\"%d\">0 s</text><text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%.3f s</text>"
            "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">&gt;%.3f s</text>",
            left, top + h + 16, left + kBins / 2 * bw, top + h + 16, d.markInterval, left + kBins * bw, top + h + 16,
            hi);
        Put(s, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%" PRIu64 "</text>", left - 4, top + 10, most);
        Put(s, "<text x=\"%d\" y=\"%d\">mark interval</text>\n</svg>\n", left + w / 2 - 30, top + h + 32);
    }
    if (!d.markAnomalies.empty()) {
        s->append("<table><tr><th>Mark</th><th>Time (s of week)</th><th>GPS time</th><th>Anomaly</th></tr>\n");
        for (std::size_t i = 0; i < d.markAnomalies.size() && i < kTableRowsShown; ++i) {
            const MarkAnomaly &a = d.markAnomalies[i];
            char what[128];
            switch (a.kind) {
            case kMarkInterval:
                std::snprintf(what, sizeof what, "interval %.3f s (median %.3f s)", a.value, d.markInterval);
                break;
            case kMarkOutsideSpan:
                std::snprintf(what, sizeof what, "outside the observations by %.3f s", a.value);
                break;
            case kMarkDuplicateTime: std::snprintf(what, sizeof what, "time occurs more than once"); break;
            case kMarkDuplicateNumber: std::snprintf(what, sizeof what, "number occurs more than once"); break;
            default:
                std::snprintf(what, sizeof what, "number does not follow the previous one (%.0f missing)", a.value);
            }
            Put(s, "<tr><td>#%" PRId64 "</td><td class=\"n\">%.6f</td><td>%s</td><td>%s</td></tr>\n", a.number, a.tow,
                FormatTimeOfDay(a.tow).c_str(), what);
        }
        s->append("</table>\n");
        if (d.markAnomalies.size() > kTableRowsShown) {
            Put(s, "<p class=\"note\">... and %zu more anomalies (all are in the text summary and the JSON).</p>\n",
                d.markAnomalies.size() - kTableRowsShown);
        }
    }
    s->append("</section>\n");
}

// One value per epoch against time, as the minimum and maximum of every
// pixel column; the line breaks where the values stop (an epoch without
// one) and at data gaps, so that it does not bridge either.
template <typename Value>
void SeriesPlot(std::string *s, const ReportData &d, const char *title, const char *unit, Value value) {
    std::vector<double> lo(kPlotWidth + 1, HUGE_VAL), hi(kPlotWidth + 1, -HUGE_VAL);
    std::vector<char> breakBefore(kPlotWidth + 1, 0);
    const TimeScale scale{d.firstTime, d.lastTime};
    double vmin = HUGE_VAL, vmax = -HUGE_VAL;
    bool broken = false;
    std::size_t nextGap = 0;
    for (std::size_t i = 0; i < d.epochs.size(); ++i) {
        const EpochSample &e = d.epochs[i];
        for (; nextGap < d.gaps.size() && d.gaps[nextGap].after < i; ++nextGap) broken = true;
        double v = 0;
        if (!value(e, &v) || !std::isfinite(v)) {
            broken = true;
            continue;
        }
        const int c = Pixel(scale.X(e.time) - kPlotLeft, kPlotWidth);
        if (lo[c] > hi[c]) breakBefore[c] = broken;
        broken = false;
        lo[c] = std::min(lo[c], v);
        hi[c] = std::max(hi[c], v);
        vmin = std::min(vmin, v);
        vmax = std::max(vmax, v);
    }
    if (vmin > vmax) return;
    if (vmax - vmin < 1e-9) {
        vmin -= 1;
        vmax += 1;
    }
    const int h = 160, top = 24;
    // In halves: values spanning more than the largest double (damaged
    // ones, of either sign) would give an infinite range, and no number.
    const double halfRange = vmax / 2 - vmin / 2;
    auto Y = [&](double v) { return top + h - (v / 2 - vmin / 2) / halfRange * h; };
    Put(s, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n", kSvgWidth, h + top + 30);
    Put(s, "<text x=\"%d\" y=\"14\">%s (%s)</text>", kPlotLeft, title, unit);
    Put(s, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f7f9fc\" stroke=\"#ccc\"/>", kPlotLeft, top,
        kPlotWidth, h);
    Put(s,
        "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%.3f</text><text x=\"%d\" y=\"%d\" text-anchor=\"end\">%.3f</text>\n",
        kPlotLeft - 4, top + 10, vmax, kPlotLeft - 4, top + h, vmin);
    // Lone values show as dots through the round line caps.
    std::string path;
    int previous = -1;
    for (int c = 0; c <= kPlotWidth; ++c) {
        if (lo[c] > hi[c]) continue;
        const bool join = previous >= 0 && breakBefore[c] == 0;
        Put(&path, "%s%d %.1f L%d %.1f ", join ? "L" : "M", kPlotLeft + c, Y(lo[c]), kPlotLeft + c, Y(hi[c]));
        previous = c;
    }
    Put(s, "<path d=\"%s\" fill=\"none\" stroke=\"#2a6fd6\" stroke-width=\"1.5\" stroke-linecap=\"round\"/>\n",
        path.c_str());
    TimeAxis(s, scale, top + h);
    s->append("</svg>\n");
}

// Over 60 lines: the position track and the clock plot share one time
// axis, drawn together.
void ReceiverSection(std::string *s, const ReportData &d) {
    s->append("<section id=\"receiver\"><h2>Receiver track and clock</h2>\n");
    if (d.withPosition == 0 && d.withClockOffset == 0) {
        s->append("<p>No epoch carries a position or a clock offset (neither BESTPOS attached nor "
                  "recomputed).</p></section>\n");
        return;
    }
    if (d.haveMeanPosition) {
        // Horizontal track in metres east and north of the mean position,
        // one mark per occupied 2-pixel cell.
        const double lat0 = d.meanLatitude * kPi / 180.0;
        const double mPerDegN = 111132.95 - 559.82 * std::cos(2 * lat0);
        const double mPerDegE = 111412.88 * std::cos(lat0);
        double emin = HUGE_VAL, emax = -HUGE_VAL, nmin = HUGE_VAL, nmax = -HUGE_VAL;
        auto East = [&](const EpochSample &e) {
            double dl = e.longitude - d.meanLongitude;
            if (dl > 180) dl -= 360;
            if (dl < -180) dl += 360;
            return dl * mPerDegE;
        };
        auto North = [&](const EpochSample &e) { return (e.latitude - d.meanLatitude) * mPerDegN; };
        for (const EpochSample &e : d.epochs) {
            if (!HasUsablePosition(e)) continue;
            emin = std::min(emin, East(e));
            emax = std::max(emax, East(e));
            nmin = std::min(nmin, North(e));
            nmax = std::max(nmax, North(e));
        }
        const double extent = std::max({emax - emin, nmax - nmin, 1.0});
        const int size = 400, cells = size / 2, left = 80, top = 10;
        // The square spans `span` metres each way, centred on the track;
        // the axes count metres east and north of the mean position.
        const double span = extent * cells / (cells - 2);
        const double ec = (emin + emax) / 2, nc = (nmin + nmax) / 2;
        const double e0 = ec - span / 2, n1 = nc + span / 2;
        const double step = NiceStep(span / 5);
        const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
        std::vector<uint8_t> used(static_cast<std::size_t>(cells) * cells, 0);
        Put(s, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n", left + size + 30, size + 95);
        Put(s, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f7f9fc\" stroke=\"#ccc\"/>\n", left, top,
            size, size);
        for (double t = std::ceil(e0 / step) * step; t <= e0 + span; t += step) {
            const double x = left + (t - e0) / span * size;
            Put(s,
                "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#e2e6ee\"/>"
                "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#555\"/>"
                "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%.*f</text>\n",
                x, top, x, top + size, x, top + size, x, top + size + 4, x, top + size + 16, decimals,
                std::fabs(t) < step / 2 ? 0.0 : t);
            // A damaged latitude or longitude puts the axis where metres
            // are below its resolution: the step would never move it on.
            if (t + step <= t) break;
        }
        for (double t = std::ceil((n1 - span) / step) * step; t <= n1; t += step) {
            const double y = top + (n1 - t) / span * size;
            Put(s,
                "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#e2e6ee\"/>"
                "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#555\"/>"
                "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n",
                left, y, left + size, y, left - 4, y, left, y, left - 6, y + 4, decimals,
                std::fabs(t) < step / 2 ? 0.0 : t);
            if (t + step <= t) break;
        }
        for (const EpochSample &e : d.epochs) {
            if (!HasUsablePosition(e)) continue;
            const int cx = std::clamp(static_cast<int>((East(e) - e0) / span * cells), 0, cells - 1);
            const int cy = std::clamp(static_cast<int>((n1 - North(e)) / span * cells), 0, cells - 1);
            uint8_t &cell = used[static_cast<std::size_t>(cy) * cells + cx];
            if (cell != 0) continue;
            cell = 1;
            Put(s, "<rect x=\"%d\" y=\"%d\" width=\"2\" height=\"2\" fill=\"#2a6fd6\"/>", left + 2 * cx, top + 2 * cy);
        }
        // Axis titles, and a scale bar of one grid step under the plot.
        Put(s, "\n<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">metres east of the mean position</text>\n",
            left + size / 2, top + size + 32);
        Put(s,
            "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\" transform=\"rotate(-90 %d %d)\">metres north of the "
            "mean position</text>\n",
            16, top + size / 2, 16, top + size / 2);
        const double bar = step / span * size;
        const int barY = top + size + 58;
        char length[32];
        if (step >= 1000)
            std::snprintf(length, sizeof length, "%g km", step / 1000);
        else
            std::snprintf(length, sizeof length, "%g m", step);
        Put(s,
            "<path d=\"M%d %d v6 h%.1f v-6\" fill=\"none\" stroke=\"#222\" stroke-width=\"1.5\"/>"
            "<text x=\"%.1f\" y=\"%d\">%s</text>"
            "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%.1f m across; north up</text>\n</svg>\n",
            left, barY - 6, bar, left + bar + 6, barY + 4, length, left + size, barY + 4, extent);
        SeriesPlot(s, d, "Ellipsoidal height", "m", [](const EpochSample &e, double *v) {
            *v = e.height;
            return HasUsablePosition(e);
        });
    }
    if (d.withClockOffset > 0) {
        SeriesPlot(s, d, "Receiver clock offset", "m", [](const EpochSample &e, double *v) {
            *v = e.clockOffset;
            return e.clockOffset != 0.0;
        });
    }
    s->append("</section>\n");
}

void MessagesSection(std::string *s, const ReportData &d) {
    s->append("<section id=\"messages\"><h2>Conversion messages</h2>\n");
    if (!d.haveMessages) {
        s->append("<p>The conversion's messages were not saved.</p></section>\n");
        return;
    }
    Put(s, "<p>%" PRIu64 " messages.</p>\n<table><tr><th>Kind</th><th>Group</th><th>Count</th></tr>\n", d.messageCount);
    static const char *const kGroups[] = {"framing", "refused epoch", "notice", "other"};
    const std::vector<MessageKind> &kinds = MessageKinds();
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const bool bad = d.messageCounts[i] > 0 && kinds[i].category <= kRefusedEpoch;
        Put(s, "<tr><td>%s</td><td>%s</td><td class=\"n%s\">%" PRIu64 "</td></tr>\n", kinds[i].label,
            kGroups[kinds[i].category], bad ? " bad" : "", d.messageCounts[i]);
    }
    s->append("</table>\n</section>\n");
}

} // namespace

int WriteHtml(std::FILE *out, const ReportData &d, uint32_t sections) {
    std::string s;
    s.reserve(1 << 18);
    s.append("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Conversion report: ");
    Escaped(&s, d.tsqPath);
    Put(&s, "</title>\n<style>%s</style></head><body>\n<h1>Conversion report: ", kStyle);
    Escaped(&s, d.tsqPath);
    s.append("</h1>\n");
    if (sections & kSectionSummary) SummarySection(&s, d);
    if (sections & kSectionTracking) TrackingSection(&s, d);
    if (sections & kSectionSky) SkySection(&s, d);
    if (sections & kSectionMarks) MarksSection(&s, d);
    if (sections & kSectionReceiver) ReceiverSection(&s, d);
    if (sections & kSectionMessages) MessagesSection(&s, d);
    s.append("</body></html>\n");
    if (std::fwrite(s.data(), 1, s.size(), out) != s.size()) return 1;
    return std::ferror(out) != 0 ? 1 : 0;
}

} // namespace report
