// A small RINEX 3.04 (and 2.11 navigation) reader for the tests, written from the format's own
// description (fixed columns of the header records, the epoch record, the
// observation records, the navigation records), independently of the
// library's writers, so that the two check each other.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace rinexread {

struct HeaderLine {
    std::string content; // columns 1-60
    std::string label;   // columns 61-80, trailing blanks removed
};

struct ObsValue {
    bool present = false;
    double value = 0.0;
    int lli = 0; // 0 when blank
    int ssi = 0; // 0 when blank
};

struct SatRecord {
    char system = ' ';
    int number = 0;
    std::vector<ObsValue> values; // one per declared type of the system
};

struct ObsEpoch {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0.0;
    int flag = 0;
    int count = 0;
    bool hasClock = false;
    double clockOffset = 0.0;
    std::vector<SatRecord> sats;     // flags 0 and 1
    std::vector<HeaderLine> special; // flags 2 to 5
};

struct ObsFile {
    std::vector<std::string> lines;
    std::vector<HeaderLine> header;
    size_t headerLines = 0;
    double version = 0.0;
    char fileType = ' ';
    char system = ' ';
    std::map<char, std::vector<std::string>> types;
    std::map<int, int> glonassFrequency; // slot -> channel
    // SYS / PHASE SHIFT: the phase types of each system that have a record.
    std::map<char, std::vector<std::string>> phaseShifts;
    std::vector<ObsEpoch> epochs;
};

struct NavRecord {
    char system = ' ';
    int number = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    double clock[3] = {0, 0, 0};
    size_t orbitLines = 0; // 3 for GLONASS and SBAS, 7 for the others
    double orbit[7][4] = {};
    bool present[7][4] = {};
    size_t line = 0; // index of its first line in the file
};

struct NavFile {
    std::vector<std::string> lines;
    std::vector<HeaderLine> header;
    size_t headerLines = 0;
    double version = 0.0;
    char fileType = ' ';
    char system = ' ';
    std::vector<NavRecord> records;
};

// Each returns "" on success, else what was wrong and on which line.
// ReadObs reads RINEX 3.04 and 2.11 observation files; a 2.11 file's one
// type list is given under each of G, R, S and E.
std::string ReadObs(const std::string &path, ObsFile *file);
std::string ReadObsBody211(ObsFile *file, size_t body);
std::string ReadNav(const std::string &path, NavFile *file);

// Format checks: column positions, labels in columns 61-80, the records
// that must be there, line lengths. Each problem is one text.
std::vector<std::string> CheckObsFormat(const ObsFile &file);
std::vector<std::string> CheckNavFormat(const NavFile &file);

// Read and format checks at once: "" or what was wrong, one line each.
std::string ReadCheckedObs(const std::string &path, ObsFile *file);
std::string ReadCheckedNav(const std::string &path, NavFile *file);

// GPS week and seconds of week of a calendar date in GPS time.
void GpsTimeOf(int year, int month, int day, int hour, int minute, double second, int *week, double *seconds);

// Seconds of the GPS week of an epoch's time.
double SecondsOfWeek(const ObsEpoch &epoch);

// The place of a type among those declared for a system, or -1; a
// satellite's value of that type, or nullptr when the type is not declared.
int TypeIndex(const ObsFile &obs, char system, const std::string &type);
const ObsValue *ValueOf(const ObsFile &obs, const SatRecord &sat, const std::string &type);

// The header lines with this label.
std::vector<HeaderLine> Labelled(const std::vector<HeaderLine> &header, const std::string &label);

} // namespace rinexread
