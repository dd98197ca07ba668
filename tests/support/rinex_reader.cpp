#include "support/rinex_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>

namespace rinexread {

namespace {

std::string Trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// Columns first..last (1-based, inclusive) of a line; blanks past its end.
std::string Cols(const std::string &line, size_t first, size_t last) {
    if (first > line.size()) return std::string(last - first + 1, ' ');
    std::string s = line.substr(first - 1, last - first + 1);
    s.resize(last - first + 1, ' ');
    return s;
}

bool Number(const std::string &field, double *value) {
    std::string t = Trim(field);
    if (t.empty()) return false;
    // Fortran D exponents read as E.
    std::replace(t.begin(), t.end(), 'D', 'E');
    std::replace(t.begin(), t.end(), 'd', 'E');
    char *end = nullptr;
    *value = std::strtod(t.c_str(), &end);
    return end != nullptr && *end == '\0';
}

int Int(const std::string &field) {
    double v = 0;
    return Number(field, &v) ? static_cast<int>(v) : 0;
}

std::vector<std::string> ReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

HeaderLine SplitHeader(const std::string &line) {
    return {Cols(line, 1, 60), Trim(line.size() > 60 ? line.substr(60) : std::string())};
}

// Header lines up to END OF HEADER; returns the number of lines taken.
size_t ReadHeader(const std::vector<std::string> &lines, std::vector<HeaderLine> *header, std::string *error) {
    for (size_t i = 0; i < lines.size(); ++i) {
        header->push_back(SplitHeader(lines[i]));
        if (header->back().label == "END OF HEADER") return i + 1;
    }
    *error = "no END OF HEADER";
    return lines.size();
}

std::string At(size_t line, const std::string &what) { return "line " + std::to_string(line + 1) + ": " + what; }

int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

const std::set<std::string> kObsLabels = {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE",  "COMMENT",
                                          "MARKER NAME",          "MARKER NUMBER",        "MARKER TYPE",
                                          "OBSERVER / AGENCY",    "REC # / TYPE / VERS",  "ANT # / TYPE",
                                          "APPROX POSITION XYZ",  "ANTENNA: DELTA H/E/N", "ANTENNA: DELTA X/Y/Z",
                                          "SYS / # / OBS TYPES",  "SIGNAL STRENGTH UNIT", "INTERVAL",
                                          "TIME OF FIRST OBS",    "TIME OF LAST OBS",     "RCV CLOCK OFFS APPL",
                                          "SYS / PHASE SHIFT",    "GLONASS SLOT / FRQ #", "GLONASS COD/PHS/BIS",
                                          "LEAP SECONDS",         "# OF SATELLITES",      "PRN / # OF OBS",
                                          "END OF HEADER"};
const std::set<std::string> kNavLabels = {"RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "COMMENT",
                                          "IONOSPHERIC CORR",     "TIME SYSTEM CORR",    "LEAP SECONDS",
                                          "END OF HEADER"};
// RINEX 2.11's own navigation header records.
const std::set<std::string> kNav211Labels = {
    "RINEX VERSION / TYPE", "PGM / RUN BY / DATE", "COMMENT",      "ION ALPHA",    "ION BETA",
    "DELTA-UTC: A0,A1,T,W", "CORR TO SYSTEM TIME", "LEAP SECONDS", "END OF HEADER"};

// BROADCAST ORBIT lines of a record: three for GLONASS and SBAS (a 2.11
// GLONASS file holds only those), seven for the others.
size_t OrbitLinesOf(char system) { return system == 'R' || system == 'S' ? 3 : 7; }

void CheckHeader(const std::vector<std::string> &lines, size_t count, const std::set<std::string> &labels,
                 std::vector<std::string> *problems) {
    for (size_t i = 0; i < count && i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.size() > 80) problems->push_back(At(i, "header line longer than 80 columns"));
        if (line.size() < 61) {
            problems->push_back(At(i, "no label in columns 61-80"));
            continue;
        }
        const std::string label = Trim(line.substr(60));
        if (labels.count(label) == 0) problems->push_back(At(i, "unknown label '" + label + "'"));
        if (line[60] == ' ') problems->push_back(At(i, "label does not start in column 61"));
    }
}

// One observation field: F14.3, the LLI digit and the strength digit.
ObsValue ValueAt(const std::string &rec, size_t col) {
    ObsValue v;
    v.present = Number(Cols(rec, col, col + 13), &v.value);
    v.lli = Int(Cols(rec, col + 14, col + 14));
    v.ssi = Int(Cols(rec, col + 15, col + 15));
    return v;
}

// The lines of a file and its header, up to the first body line; the
// version, file type and system of its first record.
template <typename File> std::string ReadFileHeader(const std::string &path, File *file, size_t *body) {
    file->lines = ReadLines(path);
    if (file->lines.empty()) return "empty file";
    std::string error;
    *body = ReadHeader(file->lines, &file->header, &error);
    file->headerLines = *body;
    if (!error.empty()) return error;
    const HeaderLine &first = file->header[0];
    if (first.label != "RINEX VERSION / TYPE") return "first line is not RINEX VERSION / TYPE";
    Number(Cols(first.content, 1, 9), &file->version);
    file->fileType = first.content[20];
    file->system = first.content[40];
    return "";
}

} // namespace

// RINEX 2.11: one type list for every system, the satellites listed on the
// epoch line, five values a line.
std::string ReadObsBody211(ObsFile *file, size_t body) {
    // # / TYPES OF OBSERV: I6,9(4X,A2); continuation lines 6X,9(4X,A2).
    std::vector<std::string> types;
    int expected = 0;
    for (const HeaderLine &h : Labelled(file->header, "# / TYPES OF OBSERV")) {
        if (Trim(Cols(h.content, 1, 6)) != "") expected = Int(Cols(h.content, 1, 6));
        for (size_t k = 0; k < 9; ++k) {
            const std::string type = Trim(Cols(h.content, 11 + 6 * k, 12 + 6 * k));
            if (!type.empty() && static_cast<int>(types.size()) < expected) types.push_back(type);
        }
    }
    if (types.empty() || static_cast<int>(types.size()) != expected) return "no or short # / TYPES OF OBSERV";
    for (char system : {'G', 'R', 'S', 'E'}) file->types[system] = types;
    const size_t linesPerSat = (types.size() + 4) / 5;
    const std::vector<std::string> &lines = file->lines;
    for (size_t i = body; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.size() > 80) return At(i, "line longer than 80 columns");
        // 1X,I2.2,4(1X,I2),F11.7,2X,I1,I3,12(A1,I2),F12.9
        ObsEpoch e;
        const int yy = Int(Cols(line, 2, 3));
        e.year = yy < 80 ? 2000 + yy : 1900 + yy;
        e.month = Int(Cols(line, 5, 6));
        e.day = Int(Cols(line, 8, 9));
        e.hour = Int(Cols(line, 11, 12));
        e.minute = Int(Cols(line, 14, 15));
        if (!Number(Cols(line, 16, 26), &e.second)) return At(i, "expected an epoch record");
        e.flag = Int(Cols(line, 29, 29));
        e.count = Int(Cols(line, 30, 32));
        e.hasClock = Number(Cols(line, 69, 80), &e.clockOffset);
        if (e.flag >= 2) {
            for (int k = 0; k < e.count; ++k) {
                if (++i >= lines.size()) return At(i, "file ends inside an event");
                e.special.push_back(SplitHeader(lines[i]));
            }
            file->epochs.push_back(e);
            continue;
        }
        std::vector<SatRecord> sats;
        size_t at = i;
        for (int k = 0; k < e.count; ++k) {
            if (k > 0 && k % 12 == 0) {
                if (++at >= lines.size()) return At(at, "file ends inside the satellite list");
                if (Trim(Cols(lines[at], 1, 32)) != "") return At(at, "satellite list continuation");
            }
            const std::string id = Cols(lines[at], 33 + 3 * (k % 12), 35 + 3 * (k % 12));
            SatRecord s;
            s.system = id[0] == ' ' ? 'G' : id[0];
            s.number = Int(id.substr(1));
            sats.push_back(s);
        }
        i = at;
        for (SatRecord &s : sats) {
            for (size_t l = 0; l < linesPerSat; ++l) {
                if (++i >= lines.size()) return At(i, "file ends inside an epoch");
                const std::string &rec = lines[i];
                if (rec.size() > 80) return At(i, "observation line longer than 80 columns");
                for (size_t t = 5 * l; t < types.size() && t < 5 * l + 5; ++t) {
                    s.values.push_back(ValueAt(rec, 1 + 16 * (t - 5 * l)));
                }
            }
        }
        e.sats = sats;
        file->epochs.push_back(e);
    }
    return "";
}

std::vector<HeaderLine> Labelled(const std::vector<HeaderLine> &header, const std::string &label) {
    std::vector<HeaderLine> out;
    for (const HeaderLine &h : header) {
        if (h.label == label) out.push_back(h);
    }
    return out;
}

void GpsTimeOf(int year, int month, int day, int hour, int minute, double second, int *week, double *seconds) {
    const int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1980, 1, 6);
    *week = static_cast<int>(days / 7);
    *seconds = static_cast<double>(days % 7) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
}

std::string ReadObs(const std::string &path, ObsFile *file) {
    size_t body = 0;
    const std::string error = ReadFileHeader(path, file, &body);
    if (!error.empty()) return error;

    if (file->version < 3.0) return ReadObsBody211(file, body);
    // SYS / # / OBS TYPES: A1,2X,I3,13(1X,A3); continuation lines 6X,13(1X,A3).
    char system = ' ';
    int expected = 0;
    for (const HeaderLine &h : Labelled(file->header, "SYS / # / OBS TYPES")) {
        if (h.content[0] != ' ') {
            system = h.content[0];
            expected = Int(Cols(h.content, 4, 6));
        }
        for (size_t k = 0; k < 13; ++k) {
            const std::string type = Trim(Cols(h.content, 8 + 4 * k, 10 + 4 * k));
            if (!type.empty() && static_cast<int>(file->types[system].size()) < expected) {
                file->types[system].push_back(type);
            }
        }
    }
    // SYS / PHASE SHIFT: A1,1X,A3,1X,F8.5,... (no correction value: none applied).
    for (const HeaderLine &h : Labelled(file->header, "SYS / PHASE SHIFT")) {
        const std::string type = Trim(Cols(h.content, 3, 5));
        if (h.content[0] != ' ' && !type.empty()) file->phaseShifts[h.content[0]].push_back(type);
    }
    // GLONASS SLOT / FRQ #: I3,1X,8(A1,I2.2,1X,I2,1X).
    for (const HeaderLine &h : Labelled(file->header, "GLONASS SLOT / FRQ #")) {
        for (size_t k = 0; k < 8; ++k) {
            const std::string entry = Cols(h.content, 5 + 7 * k, 10 + 7 * k);
            if (entry[0] != 'R') continue;
            file->glonassFrequency[Int(entry.substr(1, 2))] = Int(entry.substr(4, 2));
        }
    }

    const std::vector<std::string> &lines = file->lines;
    for (size_t i = body; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.empty() || line[0] != '>') return At(i, "expected an epoch record");
        ObsEpoch e;
        e.year = Int(Cols(line, 3, 6));
        e.month = Int(Cols(line, 8, 9));
        e.day = Int(Cols(line, 11, 12));
        e.hour = Int(Cols(line, 14, 15));
        e.minute = Int(Cols(line, 17, 18));
        Number(Cols(line, 19, 29), &e.second);
        e.flag = Int(Cols(line, 32, 32));
        e.count = Int(Cols(line, 33, 35));
        e.hasClock = Number(Cols(line, 42, 56), &e.clockOffset);
        for (int k = 0; k < e.count; ++k) {
            if (++i >= lines.size()) return At(i, "file ends inside an epoch");
            const std::string &rec = lines[i];
            if (e.flag >= 2) {
                e.special.push_back(SplitHeader(rec));
                continue;
            }
            SatRecord s;
            s.system = rec.empty() ? ' ' : rec[0];
            s.number = Int(Cols(rec, 2, 3));
            const auto types = file->types.find(s.system);
            if (types == file->types.end()) return At(i, "satellite of an undeclared system");
            for (size_t t = 0; t < types->second.size(); ++t) s.values.push_back(ValueAt(rec, 4 + 16 * t));
            if (rec.size() > 3 + 16 * types->second.size()) return At(i, "more fields than declared types");
            e.sats.push_back(s);
        }
        file->epochs.push_back(e);
    }
    return "";
}

std::string ReadNav(const std::string &path, NavFile *file) {
    size_t body = 0;
    const std::string error = ReadFileHeader(path, file, &body);
    if (!error.empty()) return error;
    const bool v2 = file->version < 3.0;
    const std::vector<std::string> &lines = file->lines;
    for (size_t i = body; i < lines.size();) {
        const std::string &l0 = lines[i];
        NavRecord r;
        r.line = i;
        size_t valuesAt = 24;
        if (v2) {
            // I2,1X,I2.2,1X,I2,1X,I2,1X,I2,1X,I2,F5.1,3D19.12; the file type
            // tells the system.
            r.system = file->fileType == 'G' ? 'R' : 'G';
            r.number = Int(Cols(l0, 1, 2));
            const int yy = Int(Cols(l0, 4, 5));
            r.year = yy < 80 ? 2000 + yy : 1900 + yy;
            r.month = Int(Cols(l0, 7, 8));
            r.day = Int(Cols(l0, 10, 11));
            r.hour = Int(Cols(l0, 13, 14));
            r.minute = Int(Cols(l0, 16, 17));
            double second = 0.0;
            if (!Number(Cols(l0, 18, 22), &second)) return At(i, "seconds not F5.1");
            r.second = static_cast<int>(second);
            valuesAt = 23;
        } else {
            // A1,I2.2,1X,I4,5(1X,I2.2),3D19.12
            r.system = l0[0];
            r.number = Int(Cols(l0, 2, 3));
            r.year = Int(Cols(l0, 5, 8));
            r.month = Int(Cols(l0, 10, 11));
            r.day = Int(Cols(l0, 13, 14));
            r.hour = Int(Cols(l0, 16, 17));
            r.minute = Int(Cols(l0, 19, 20));
            r.second = Int(Cols(l0, 22, 23));
        }
        for (size_t k = 0; k < 3; ++k) {
            if (!Number(Cols(l0, valuesAt + 19 * k, valuesAt + 18 + 19 * k), &r.clock[k])) {
                return At(i, "clock field missing");
            }
        }
        r.orbitLines = OrbitLinesOf(r.system);
        if (i + 1 + r.orbitLines > lines.size()) return At(i, "record of fewer lines than its system has");
        // 4X,4D19.12 (2.11: 3X,4D19.12)
        const size_t indent = v2 ? 3 : 4;
        for (size_t o = 0; o < r.orbitLines; ++o) {
            const std::string &l = lines[i + 1 + o];
            if (Trim(Cols(l, 1, indent)) != "") {
                return At(i + 1 + o, "orbit line does not start with " + std::to_string(indent) + " blanks");
            }
            for (size_t k = 0; k < 4; ++k) {
                r.present[o][k] = Number(Cols(l, indent + 1 + 19 * k, indent + 19 + 19 * k), &r.orbit[o][k]);
            }
        }
        file->records.push_back(r);
        i += 1 + r.orbitLines;
    }
    return "";
}

std::vector<std::string> CheckObsFormat(const ObsFile &file) {
    std::vector<std::string> problems;
    CheckHeader(file.lines, file.headerLines, kObsLabels, &problems);
    if (file.header.empty() || file.header.front().label != "RINEX VERSION / TYPE") {
        problems.push_back("RINEX VERSION / TYPE is not first");
    }
    if (file.version != 3.04) problems.push_back("version is not 3.04");
    if (file.fileType != 'O') problems.push_back("file type is not O");
    for (const char *required : {"PGM / RUN BY / DATE", "MARKER NAME", "OBSERVER / AGENCY", "REC # / TYPE / VERS",
                                 "ANT # / TYPE", "ANTENNA: DELTA H/E/N", "SYS / # / OBS TYPES", "SYS / PHASE SHIFT"}) {
        if (Labelled(file.header, required).empty()) problems.push_back(std::string("no ") + required);
    }
    if (!file.epochs.empty() && Labelled(file.header, "TIME OF FIRST OBS").empty()) {
        problems.push_back("no TIME OF FIRST OBS");
    }
    // Required wherever an epoch gives the receiver clock offset.
    if (std::any_of(file.epochs.begin(), file.epochs.end(), [](const ObsEpoch &e) { return e.hasClock; }) &&
        Labelled(file.header, "RCV CLOCK OFFS APPL").empty()) {
        problems.push_back("clock offsets without RCV CLOCK OFFS APPL");
    }
    if (file.types.count('R') != 0 && (Labelled(file.header, "GLONASS SLOT / FRQ #").empty() ||
                                       Labelled(file.header, "GLONASS COD/PHS/BIS").empty())) {
        problems.push_back("GLONASS observations without the GLONASS header records");
    }
    // Each phase shift record names a phase type its system declares, and
    // every GLONASS satellite observed has its frequency channel.
    for (const auto &[system, types] : file.phaseShifts) {
        const auto declared = file.types.find(system);
        for (const std::string &type : types) {
            if (type[0] != 'L' || declared == file.types.end() ||
                std::find(declared->second.begin(), declared->second.end(), type) == declared->second.end()) {
                problems.push_back(std::string("phase shift record for an undeclared type ") + system + " " + type);
            }
        }
    }
    for (const ObsEpoch &e : file.epochs) {
        for (const SatRecord &sat : e.sats) {
            if (sat.system == 'R' && file.glonassFrequency.count(sat.number) == 0) {
                problems.push_back("GLONASS R" + std::to_string(sat.number) + " without a frequency channel");
                break;
            }
        }
    }
    const bool mixed = file.types.size() > 1;
    if (mixed != (file.system == 'M')) problems.push_back("system letter does not fit the systems declared");
    // Epoch records: A1,1X,I4,4(1X,I2.2),F11.7,2X,I1,I3,6X,F15.12.
    for (size_t i = file.headerLines; i < file.lines.size(); ++i) {
        const std::string &line = file.lines[i];
        if (line.empty()) {
            problems.push_back(At(i, "empty line"));
            continue;
        }
        if (line[0] == '>') {
            for (size_t col : {2, 7, 10, 13, 16, 30, 31}) {
                if (col <= line.size() && line[col - 1] != ' ') problems.push_back(At(i, "epoch record columns"));
            }
            if (line.size() < 35 || line.size() > 56 || (line.size() > 35 && line.size() != 56)) {
                problems.push_back(At(i, "epoch record length"));
            }
            if (Cols(line, 22, 22) != ".") problems.push_back(At(i, "seconds not F11.7"));
            continue;
        }
        if (line.size() > 60 && Trim(line.substr(60)) == "COMMENT") {
            if (line.size() > 80) problems.push_back(At(i, "COMMENT longer than 80 columns"));
            continue;
        }
        // Observation records: A1,I2.2, then per type F14.3,I1,I1.
        const auto types = file.types.find(line[0]);
        if (types == file.types.end() || !std::isdigit(static_cast<unsigned char>(line[1])) ||
            !std::isdigit(static_cast<unsigned char>(line[2]))) {
            problems.push_back(At(i, "bad satellite identifier"));
            continue;
        }
        if (line.size() > 3 + 16 * types->second.size()) problems.push_back(At(i, "record too long"));
        for (size_t t = 0; 4 + 16 * t <= line.size(); ++t) {
            const std::string field = Cols(line, 4 + 16 * t, 17 + 16 * t);
            if (Trim(field).empty()) continue;
            if (field[10] != '.') problems.push_back(At(i, "value not F14.3"));
        }
    }
    return problems;
}

std::vector<std::string> CheckNavFormat(const NavFile &file) {
    std::vector<std::string> problems;
    const bool v2 = file.version == 2.11;
    CheckHeader(file.lines, file.headerLines, v2 ? kNav211Labels : kNavLabels, &problems);
    if (file.version != 3.04 && !v2) problems.push_back("version is neither 3.04 nor 2.11");
    if (v2 ? file.fileType != 'N' && file.fileType != 'G' : file.fileType != 'N') {
        problems.push_back("file type is not that of a navigation file");
    }
    std::set<char> systems;
    for (const NavRecord &r : file.records) systems.insert(r.system);
    if (!v2) {
        const char expected = systems.size() > 1 ? 'M' : systems.empty() ? 'G' : *systems.begin();
        if (file.system != expected) problems.push_back(std::string("system is not ") + expected);
    }
    for (const NavRecord &r : file.records) {
        if (r.number < 1) problems.push_back(At(r.line, "no satellite number"));
        for (size_t o = 0; o <= r.orbitLines; ++o) {
            const size_t i = r.line + o;
            const std::string &line = file.lines[i];
            if (line.size() > 80) problems.push_back(At(i, "longer than 80 columns"));
            const size_t start = o == 0 ? (v2 ? 23 : 24) : (v2 ? 4 : 5);
            // D19.12: the decimal point in the third column of the field, the
            // exponent letter and two digits at its end.
            for (size_t col = start; col + 18 <= line.size(); col += 19) {
                const std::string field = Cols(line, col, col + 18);
                if (Trim(field).empty()) continue;
                if (field[2] != '.' || field[15] != 'D' || (field[16] != '+' && field[16] != '-')) {
                    problems.push_back(At(i, "value not D19.12: '" + field + "'"));
                }
            }
        }
    }
    return problems;
}

double SecondsOfWeek(const ObsEpoch &epoch) {
    int week = 0;
    double seconds = 0;
    GpsTimeOf(epoch.year, epoch.month, epoch.day, epoch.hour, epoch.minute, epoch.second, &week, &seconds);
    return seconds;
}

int TypeIndex(const ObsFile &obs, char system, const std::string &type) {
    const auto found = obs.types.find(system);
    if (found == obs.types.end()) return -1;
    for (size_t i = 0; i < found->second.size(); ++i) {
        if (found->second[i] == type) return static_cast<int>(i);
    }
    return -1;
}

const ObsValue *ValueOf(const ObsFile &obs, const SatRecord &sat, const std::string &type) {
    const int i = TypeIndex(obs, sat.system, type);
    return i >= 0 && static_cast<size_t>(i) < sat.values.size() ? &sat.values[static_cast<size_t>(i)] : nullptr;
}

namespace {

std::string Joined(std::string error, const std::vector<std::string> &problems) {
    for (const std::string &problem : problems) error += problem + "\n";
    return error;
}

} // namespace

std::string ReadCheckedObs(const std::string &path, ObsFile *file) {
    const std::string error = ReadObs(path, file);
    return error.empty() ? Joined("", CheckObsFormat(*file)) : error;
}

std::string ReadCheckedNav(const std::string &path, NavFile *file) {
    const std::string error = ReadNav(path, file);
    return error.empty() ? Joined("", CheckNavFormat(*file)) : error;
}

} // namespace rinexread
