// What each system and signal contributed, from the RINEX observation file
// a conversion wrote beside its host files (--rinex): that file holds every
// observation of the log, the .tsq file only those it has a place for.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "api/convert.h"
#include "report.h"

namespace report {

namespace {

// Columns 1-based, as the format describes them; blank beyond the line.
std::string Cols(const std::string &line, std::size_t first, std::size_t last) {
    if (first > line.size()) return std::string();
    return line.substr(first - 1, last - first + 1);
}

bool Blank(const std::string &text) { return text.find_first_not_of(' ') == std::string::npos; }

const char *SystemOfLetter(char letter) {
    switch (letter) {
    case 'G': return "GPS";
    case 'R': return "GLONASS";
    case 'E': return "Galileo";
    case 'C': return "BeiDou";
    case 'J': return "QZSS";
    case 'S': return "SBAS";
    case 'I': return "NavIC";
    default: return "other";
    }
}

struct Counter {
    std::vector<std::string> order;      // "G1C", in header order
    std::map<std::string, uint64_t> map; // by the same key
    void Declare(const std::string &key) {
        if (map.emplace(key, 0).second) order.push_back(key);
    }
};

// A signal's key from a type: 3.04 "L1C" gives "1C", 2.11 "L1" gives "1".
std::string SignalOf(const std::string &type) { return type.substr(1); }

// Counts a satellite's record: each signal with a code or phase value.
void CountRecord(Counter *c, char system, const std::vector<std::string> &types,
                 const std::vector<std::string> &fields) {
    std::map<std::string, bool> seen;
    for (std::size_t t = 0; t < types.size() && t < fields.size(); ++t) {
        if ((types[t][0] != 'C' && types[t][0] != 'L' && types[t][0] != 'P') || Blank(fields[t])) continue;
        seen[SignalOf(types[t])] = true;
    }
    for (const auto &[signal, present] : seen) {
        const std::string key = std::string(1, system) + signal;
        if (present && c->map.count(key) != 0) ++c->map[key];
    }
}

std::vector<std::string> Fields(const std::string &line, std::size_t from, std::size_t count) {
    std::vector<std::string> out;
    for (std::size_t t = 0; t < count; ++t) out.push_back(Cols(line, from + 16 * t, from + 16 * t + 13));
    return out;
}

} // namespace

// Over 60 lines: the two versions' layouts read side by side, each a few
// lines, so that a reader compares them at a glance.
void ReadRinexSignals(ReportData *data) {
    char path[4096];
    if (data->tsqPath.size() >= sizeof path - 8) return;
    std::memcpy(path, data->tsqPath.c_str(), data->tsqPath.size() + 1);
    if (ChangeExtension(path, sizeof path, ".obs") != 0) return;
    std::ifstream in(path);
    if (!in) return;
    // Line by line: a day at 20 Hz is gigabytes.
    auto next = [&in](std::string *line) {
        if (!std::getline(in, *line)) return false;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
    };
    double version = 0;
    std::map<char, std::vector<std::string>> types;
    std::vector<char> systems;       // in the header's order
    std::vector<std::string> types2; // 2.11: one list
    char system = ' ';
    bool headerEnded = false;
    std::string l;
    while (!headerEnded && next(&l)) {
        const std::string label = l.size() > 60 ? l.substr(60) : std::string();
        if (label.rfind("RINEX VERSION / TYPE", 0) == 0) std::sscanf(l.c_str(), "%lf", &version);
        if (label.rfind("SYS / # / OBS TYPES", 0) == 0) {
            if (l[0] != ' ') {
                system = l[0];
                systems.push_back(system);
            }
            for (std::size_t k = 0; k < 13; ++k) {
                const std::string type = Cols(l, 8 + 4 * k, 10 + 4 * k);
                if (type.size() == 3 && !Blank(type)) types[system].push_back(type);
            }
        }
        if (label.rfind("# / TYPES OF OBSERV", 0) == 0) {
            for (std::size_t k = 0; k < 9; ++k) {
                const std::string type = Cols(l, 11 + 6 * k, 12 + 6 * k);
                if (type.size() == 2 && !Blank(type)) types2.push_back(type);
            }
        }
        headerEnded = label.rfind("END OF HEADER", 0) == 0;
    }
    if (!headerEnded || version == 0) return;
    Counter counter;
    if (version < 3) {
        systems = {'G', 'R', 'S'};
        for (char s : systems) types[s] = types2;
    }
    for (char s : systems)
        for (const std::string &type : types[s]) counter.Declare(std::string(1, s) + SignalOf(type));
    std::string rec;
    while (next(&l)) {
        if (version >= 3) {
            if (l.empty() || l[0] != '>') continue;
            const int flag = l.size() > 31 ? l[31] - '0' : 0;
            const int count = std::atoi(Cols(l, 33, 35).c_str());
            for (int k = 0; k < count && next(&rec); ++k) {
                if (flag > 1 || rec.empty() || types.count(rec[0]) == 0) continue;
                CountRecord(&counter, rec[0], types[rec[0]], Fields(rec, 4, types[rec[0]].size()));
            }
            continue;
        }
        // 2.11: the satellites on the epoch line (12 a line), then
        // ceil(types / 5) lines of each.
        const int flag = std::atoi(Cols(l, 29, 29).c_str());
        const int count = std::atoi(Cols(l, 30, 32).c_str());
        // A negative count makes the line unreadable: an event's lines
        // skipped by it would move the reading back, for ever.
        if (count < 0) continue;
        if (flag > 1) {
            int skipped = 0;
            while (skipped < count && next(&rec)) ++skipped;
            continue;
        }
        std::vector<char> listed;
        for (int k = 0; k < count; ++k) {
            if (k > 0 && k % 12 == 0 && !next(&l)) return;
            const std::string id = Cols(l, 33 + 3 * (k % 12), 33 + 3 * (k % 12));
            listed.push_back(id.empty() || id[0] == ' ' ? 'G' : id[0]);
        }
        const std::size_t perSat = (types2.size() + 4) / 5;
        for (char s : listed) {
            std::string joined;
            for (std::size_t n = 0; n < perSat && next(&rec); ++n) {
                rec.resize(80, ' ');
                joined += rec;
            }
            if (types.count(s) != 0) CountRecord(&counter, s, types2, Fields(joined, 1, types2.size()));
        }
    }
    data->haveObs = true;
    data->obsPath = path;
    for (const std::string &key : counter.order) {
        if (counter.map[key] == 0) continue;
        data->signals.push_back({key[0], key.substr(1), counter.map[key]});
    }
}

std::string SignalsText(const ReportData &data) {
    std::string text;
    char last = ' ';
    for (const ReportData::SignalCount &s : data.signals) {
        char part[96];
        std::snprintf(part, sizeof part, "%s%s%s %llu",
                      s.system == last ? ", "
                      : text.empty()   ? ""
                                       : "; ",
                      s.system == last ? "" : (std::string(SystemOfLetter(s.system)) + " ").c_str(), s.code.c_str(),
                      static_cast<unsigned long long>(s.count));
        text += part;
        last = s.system;
    }
    return text;
}

} // namespace report
