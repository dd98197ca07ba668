// The observation file is written without a scratch copy: once its records
// outgrow memory they follow room made for a header that is known only at
// the end. Whatever the header turns out to be, the file must read as that
// header and the records, in 80 columns, END OF HEADER last, and nothing
// may be left beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "output/rinex_text.h"
#include "support/scratch.h"

namespace {

DeferredRinexFile g_file; // large: not on the stack

std::size_t g_room;
std::size_t Room(void *) { return g_room; }

std::string Line(const std::string &content, const std::string &label) {
    return (content + std::string(60 - content.size(), ' ') + label).substr(0, 80) + "\n";
}

// A header as the writers trim it (lines of 67 to 80 columns), or one of
// full lines only, which leaves no blanks to widen.
std::string Header(bool fullLines) {
    std::string h = Line("     3.04           OBSERVATION DATA    G: GPS", "RINEX VERSION / TYPE");
    h += Line(fullLines ? std::string(60, 'x') : "mark", fullLines ? "MARKER NAME         " : "MARKER NAME");
    h += Line("G    4 C1C L1C D1C S1C", fullLines ? "SYS / # / OBS TYPES " : "SYS / # / OBS TYPES");
    h += Line("", "END OF HEADER       ");
    if (!fullLines) h.replace(h.size() - 8, 7, ""); // END OF HEADER trimmed
    return h;
}

std::string Write(const std::string &path, const std::string &header, int lines, long roomOverHeader) {
    g_room = header.size() + static_cast<std::size_t>(roomOverHeader);
    EXPECT_EQ(OpenDeferredRinex(&g_file, path.c_str(), Room, nullptr), 0);
    std::string records;
    RinexLine line;
    for (int n = 0; n < lines; ++n) {
        BeginRinexLine(&line);
        AppendRinexFormat(&line, "G%02d  %14.3f  %14.3f  record %d", n % 32 + 1, 2e7 + n, 1e8 + n, n);
        EXPECT_EQ(WriteDeferredRinexLine(&g_file, &line), 0);
        records += std::string(line.text) + "\n";
    }
    EXPECT_EQ(FinishDeferredRinex(&g_file, header.c_str(), header.size()), 0);
    return records;
}

TEST(RinexHeaderRoom, TheFileReadsAsItsHeaderAndRecordsWhateverTheRoom) {
    struct Case {
        const char *name;
        int lines;           // 40 000 lines outgrow the memory for the first records
        long roomOverHeader; // room made for the header minus the header
        bool fullLines;
        bool padded; // false: the header is exactly the one given
    } const cases[] = {
        {"records held in memory: no room made", 100, 0, false, false},
        {"room of a few lines: blank COMMENT lines", 40000, 7 * 81 + 5, false, true},
        {"room under one line: blanks after the lines", 40000, 15, false, true},
        {"more than the blanks, less than a line: moved", 40000, 30, false, false},
        {"no room left over", 40000, 0, false, true},
        {"header outgrew its room: moved", 40000, -1, false, false},
        {"gap no line fills and no blanks to widen: moved", 40000, 30, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ScratchDir dir;
        const std::string path = dir / "a.obs";
        const std::string header = Header(c.fullLines);
        const std::string records = Write(path, header, c.lines, c.roomOverHeader);
        const std::string file = testsupport::ReadText(path);
        const std::size_t end = file.find("END OF HEADER");
        ASSERT_NE(end, std::string::npos);
        const std::size_t bodyAt = file.find('\n', end) + 1;
        EXPECT_EQ(file.substr(bodyAt), records);
        if (!c.padded) {
            EXPECT_EQ(file.substr(0, bodyAt), header);
        } else {
            EXPECT_EQ(bodyAt, g_room) << "the room is filled exactly";
            // Without the blanks and the blank COMMENT lines: the header.
            std::istringstream in(file.substr(0, bodyAt));
            std::string kept, text;
            while (std::getline(in, text)) {
                EXPECT_LE(text.size(), 80U) << text;
                if (text.find_first_not_of(' ') == 60 && text.compare(60, 7, "COMMENT") == 0 &&
                    text.find_last_not_of(' ') == 66) {
                    continue;
                }
                kept += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
            }
            EXPECT_EQ(kept, header);
        }
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir.path)) ++entries;
        EXPECT_EQ(entries, 1U) << "nothing left beside the file";
    }
}

} // namespace
