// The observation writer's own thread: whatever the calls, the file is the
// one the writer gives when it prints on the caller's thread, and a failed
// write still reaches the caller as its message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#if defined(__unix__)
#include <csignal>
#include <sys/resource.h>
#endif

#include "common/error_text.h"
#include "output/rinex_file.h"
#include "temp_files.h"

namespace {

// The writers' records: large, so not on the stack.
RinexObsWriter g_threaded;
RinexObsWriter g_inline;
RinexEpoch g_built;

// One call of a script: an epoch at `seconds` with `sats` satellites, or
// (sats < 0) a camera event at `seconds` with mark number `mark`.
struct Call {
    double seconds;
    int sats;
    uint32_t mark;
};

struct Script {
    const char *name;
    int32_t version;
    std::vector<Call> calls;
};

RinexSignalObs Signal(const char *code, double base, uint8_t lli) {
    RinexSignalObs o{};
    std::snprintf(o.code, sizeof o.code, "%s", code);
    o.lli = lli;
    o.c = base;
    o.l = base * 5.25;
    o.d = std::fmod(base, 4000.0) - 2000.0;
    o.s = 30.0 + std::fmod(base, 20.0);
    return o;
}

// Satellites of GPS, GLONASS and Galileo with values that change with
// the time, so that a mixed-up epoch shows.
void Fill(RinexEpoch *e, double seconds, int sats) {
    e->week = 1400;
    e->seconds = seconds;
    e->clockOffset = 1e-4 * std::sin(seconds);
    e->count = sats;
    e->signalCount = 0;
    const char systems[3] = {'G', 'R', 'E'};
    for (int i = 0; i < sats; ++i) {
        RinexSatObs &s = e->sats[i];
        s = RinexSatObs{};
        s.system = systems[i % 3];
        s.number = static_cast<uint8_t>(1 + i / 3);
        s.frequency = s.system == 'R' ? static_cast<int8_t>(i % 13 - 7) : kRinexNoFrequency;
        s.first = static_cast<uint16_t>(e->signalCount);
        s.count = 2;
        const double base = 2.0e7 + 1000.0 * i + seconds * 37.125;
        e->signals[e->signalCount++] = Signal("1C", base, 0);
        e->signals[e->signalCount++] =
            Signal(s.system == 'E' ? "5Q" : "2P", base + 3.5, static_cast<uint8_t>(i % 4 == 0));
    }
}

// Epochs built in place, as a conversion does, and every third one from a
// record of the caller's, which the writer copies.
int32_t Play(RinexObsWriter *w, const Script &script) {
    int32_t result = 0;
    int epochs = 0;
    for (const Call &c : script.calls) {
        if (c.sats < 0) {
            const double week = std::floor(c.seconds / 604800.0);
            result |= WriteRinexEvent(w, 1400 + static_cast<int32_t>(week), c.seconds - week * 604800.0, c.mark);
            continue;
        }
        RinexEpoch *e = ++epochs % 3 == 0 ? &g_built : NextRinexObsEpoch(w);
        Fill(e, c.seconds, c.sats);
        result |= WriteRinexObsEpoch(w, e);
    }
    return result;
}

// The file without its creation date, which may differ by a second.
std::string Records(const ScratchFile &file) {
    std::string text = file.Text();
    const std::size_t at = text.find("PGM / RUN BY / DATE");
    if (at == std::string::npos) return text;
    const std::size_t line = text.rfind('\n', at) + 1;
    return text.erase(line, at - line);
}

std::vector<Script> Scripts() {
    std::vector<Script> scripts;
    scripts.push_back({"empty log", 304, {}});
    scripts.push_back({"events only", 304, {{10.0, -1, 1}, {5.0, -1, 2}, {20.0, -1, 3}}});
    // Epochs at 1 s; after every fifth an event older than every held epoch,
    // one within the hold, one at an epoch's own time, and one whose week
    // no date can show.
    Script interleaved{"events among held epochs", 304, {}};
    for (int k = 0; k < 60; ++k) {
        const double t = 100.0 + k;
        interleaved.calls.push_back({t, 1 + k % 7, 0});
        if (k % 5 == 4) {
            interleaved.calls.push_back({t - 3.5, -1, static_cast<uint32_t>(k)});
            interleaved.calls.push_back({t - 0.5, -1, static_cast<uint32_t>(k + 1000)});
            interleaved.calls.push_back({t - 1.0, -1, static_cast<uint32_t>(k + 2000)});
            interleaved.calls.push_back({-1e9, -1, 99});
        }
    }
    scripts.push_back(interleaved);
    // 20 Hz with many satellites: the writer's thread falls behind and the
    // ring fills, so that the caller's thread formats epochs too (now and
    // then one too large for its slot's text); events now and then, some
    // just within the held epochs, and bursts that fill the event queue.
    for (const int32_t version : {304, 211}) {
        Script full{version == 304 ? "full queue" : "full queue, 2.11", version, {}};
        for (int k = 0; k < 1500; ++k) {
            const double t = 1000.0 + 0.05 * k;
            full.calls.push_back({t, k % 50 == 49 ? 120 : 30 + k % 11, 0});
            if (k % 37 == 0) full.calls.push_back({t - 0.73, -1, static_cast<uint32_t>(k)});
            // Between the last held epoch and the one before it.
            if (k % 101 == 50) full.calls.push_back({t - 1.575, -1, static_cast<uint32_t>(k)});
            if (k % 500 == 250) {
                for (uint32_t m = 0; m < 3 * kRinexQueuedEvents; ++m) full.calls.push_back({t - 0.01 * m, -1, m});
            }
        }
        scripts.push_back(full);
    }
    return scripts;
}

} // namespace

// Each script through a writer with its own thread and one without. The
// threaded writer is first opened on another file and left with epochs
// handed over, so that every run also opens a writer twice. It runs once
// as it comes and once with the caller's thread formatting every epoch
// that fits its slot, as it does when the writer's thread lags.
TEST(ThreadedRinexObs, GivesTheBytesOfTheWriterWithoutAThread) {
    const std::vector<Script> scripts = Scripts();
    for (const bool helping : {false, true}) {
        for (const Script &script : scripts) {
            SCOPED_TRACE(std::string(script.name) + (helping ? ", caller formats" : ""));
            ScratchFile abandoned("abandoned.obs"), threaded("threaded.obs"), plain("inline.obs");
            ASSERT_EQ(OpenRinexObs(&g_threaded, abandoned.c_str(), script.version), 0);
            ASSERT_EQ(Play(&g_threaded, scripts[2]), 0);

            ASSERT_EQ(OpenRinexObs(&g_threaded, threaded.c_str(), script.version), 0);
            ASSERT_TRUE(g_threaded.threaded);
            if (helping) g_threaded.helpWhenFree = kRinexEpochSlots;
            ASSERT_EQ(OpenRinexObs(&g_inline, plain.c_str(), script.version, kRinexObsInline), 0);
            ASSERT_FALSE(g_inline.threaded);
            EXPECT_EQ(Play(&g_threaded, script), 0);
            EXPECT_EQ(Play(&g_inline, script), 0);
            const bool anyEpoch =
                std::any_of(script.calls.begin(), script.calls.end(), [](const Call &c) { return c.sats >= 0; });
            if (helping && anyEpoch) {
                EXPECT_GT(g_threaded.prepared, 0u);
            }
            RinexObsHeader header{};
            header.markerName = "THREAD";
            ASSERT_EQ(CloseRinexObs(&g_threaded, &header), 0);
            ASSERT_EQ(CloseRinexObs(&g_inline, &header), 0);
            const std::string expected = Records(plain);
            EXPECT_NE(expected.find("END OF HEADER"), std::string::npos);
            EXPECT_TRUE(Records(threaded) == expected);
        }
    }
    // A writer discarded while its thread has epochs to print.
    ScratchFile dropped("dropped.obs");
    ASSERT_EQ(OpenRinexObs(&g_threaded, dropped.c_str(), 304), 0);
    EXPECT_EQ(Play(&g_threaded, scripts[3]), 0);
    DiscardRinexObs(&g_threaded);
    EXPECT_FALSE(g_threaded.threaded);
}

#if defined(__unix__)
// The disk fills under the writer's thread (a file size limit): a later
// call of the caller's thread fails with the message of a failed write, the
// writer goes on taking epochs without hanging, and the close fails too.
TEST(ThreadedRinexObs, AWriteThatFailsOnItsThreadIsReportedToTheCaller) {
    ScratchFile file("limited.obs");
    ASSERT_EQ(OpenRinexObs(&g_threaded, file.c_str(), 304), 0);
    ASSERT_TRUE(g_threaded.threaded);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 1 << 20;
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    SetErrorText("");
    const std::string expected = "Error: Unable to write to " + file.path;
    int failures = 0;
    for (int k = 0; k < 4000; ++k) {
        Fill(NextRinexObsEpoch(&g_threaded), 0.05 * k, 40);
        if (WriteRinexObsEpoch(&g_threaded, NextRinexObsEpoch(&g_threaded)) != 0) {
            ++failures;
            EXPECT_EQ(std::string(ErrorText), expected);
        }
    }
    EXPECT_GT(failures, 0);
    SetErrorText("");
    EXPECT_EQ(CloseRinexObs(&g_threaded, nullptr), 1);
    EXPECT_EQ(std::string(ErrorText), expected);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
}
#endif
