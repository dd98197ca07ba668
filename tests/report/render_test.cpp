// Converts the bundled sample log, renders every section of its report in a
// headless browser and checks that each one draws something below its
// heading, and that no label of a drawing covers another (the sample and the
// real logs). Skips when no browser (or for the drawing check no PNG
// decoder) is available.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#if defined(OEM4REPORT_HAVE_PNG)
#include <png.h>
#endif

#include "oem4conv.h"
#include "report.h"
#include "session.h"
#include "support/conversion_request.h"
#include "support/scratch.h"

namespace {

using namespace report;
namespace fs = std::filesystem;

std::FILE *g_messages = nullptr;

void OEM4CONV_CALL SaveMessage(double time, const char *text) {
    if (time >= 0.0)
        std::fprintf(g_messages, "%.3f  %s\n", time, text);
    else
        std::fprintf(g_messages, "-  %s\n", text);
}

// Converts a log into base.{tsq,epp,sta} with its messages in base.txt, the
// way `oem4conv --report` keeps them; the number of epochs, -1 on failure.
long ConvertLog(const std::string &log, const std::string &base) {
    g_messages = std::fopen((base + ".txt").c_str(), "w");
    if (g_messages == nullptr) return -1;
    Oem4Options o = testsupport::FactoryOptions();
    o.reportAll = 1;
    const auto options = testsupport::MakeRequest(log, base, o);
    ConvertHost host = testsupport::MakeHost(SaveMessage);
    const bool ok = ConvertFile(options.get(), &host, 0) == 0;
    std::fclose(g_messages);
    return ok ? static_cast<long>(options->epochCount) : -1;
}

bool ConvertSample(const std::string &base) { return ConvertLog(OEM4CONV_EXAMPLES_DIR "/sample.gps", base) == 600; }

std::string FindBrowser() {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        for (const char *name : {"chromium", "chromium-browser"}) {
            const fs::path candidate = fs::path(dir) / name;
            std::error_code error;
            if (fs::is_regular_file(candidate, error)) return candidate.string();
        }
    }
    return "";
}

bool Screenshot(const std::string &browser, const std::string &html, const std::string &png, int height) {
    const std::string profile = png + ".profile";
    fs::remove_all(profile);
    fs::create_directories(profile);
    const std::string command =
        "timeout 120 \"" + browser +
        "\" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking "
        "--disable-component-update --disable-sync --hide-scrollbars --user-data-dir=\"" +
        profile + "\" --screenshot=\"" + png + "\" --window-size=1200," + std::to_string(height) + " \"file://" + html +
        "\" > \"" + png + ".log\" 2>&1";
    const int status = std::system(command.c_str());
    fs::remove_all(profile);
    return status == 0 && fs::exists(png);
}

#if defined(OEM4REPORT_HAVE_PNG)
struct Image {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t *At(uint32_t x, uint32_t y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

bool LoadPng(const std::string &path, Image *image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&png, path.c_str()) == 0) return false;
    png.format = PNG_FORMAT_RGB;
    image->width = png.width;
    image->height = png.height;
    image->rgb.resize(PNG_IMAGE_SIZE(png));
    return png_image_finish_read(&png, nullptr, image->rgb.data(), 0, nullptr) != 0;
}

// The section heading's underline: the first row mostly in the heading's
// rule colour. Returns the row, or height when there is none.
uint32_t HeadingRule(const Image &image) {
    for (uint32_t y = 0; y < image.height; ++y) {
        uint32_t rule = 0;
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint8_t *p = image.At(x, y);
            if (std::abs(p[0] - 0x33) < 24 && std::abs(p[1] - 0x66) < 24 && std::abs(p[2] - 0xcc) < 24) ++rule;
        }
        if (rule > image.width / 2) return y;
    }
    return image.height;
}
#endif

TEST(ReportRendering, EverySectionDrawsSomething) {
#if !defined(OEM4REPORT_HAVE_PNG)
    GTEST_SKIP() << "built without libpng";
#else
    const std::string browser = FindBrowser();
    if (browser.empty()) GTEST_SKIP() << "no chromium on PATH";

    const std::string dir = reporttest::TempDir("render");
    const std::string base = dir + "/sample";
    ASSERT_TRUE(ConvertSample(base));
    ReportRequest request;
    request.base = base;
    request.messagesPath = base + ".txt";
    auto data = std::make_unique<ReportData>();
    std::string error;
    ASSERT_EQ(CollectReport(request, data.get(), &error), kReportOk) << error;

    const struct {
        uint32_t section;
        const char *name;
    } sections[] = {{kSectionSummary, "summary"}, {kSectionTracking, "tracking"}, {kSectionSky, "sky"},
                    {kSectionMarks, "marks"},     {kSectionReceiver, "receiver"}, {kSectionMessages, "messages"}};
    for (const auto &section : sections) {
        SCOPED_TRACE(section.name);
        const std::string html = dir + "/" + section.name + ".html";
        std::FILE *out = std::fopen(html.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(WriteHtml(out, *data, section.section), 0);
        std::fclose(out);
        const std::string png = dir + "/" + section.name + ".png";
        ASSERT_TRUE(Screenshot(browser, html, png, 1400)) << "see " << png << ".log";
        Image image;
        ASSERT_TRUE(LoadPng(png, &image));
        const uint32_t rule = HeadingRule(image);
        ASSERT_LT(rule, image.height / 4) << "no section heading drawn";
        // Below the heading: enough drawn pixels over enough rows that it
        // is more than a line of text.
        uint64_t inked = 0;
        uint32_t rows = 0;
        for (uint32_t y = rule + 4; y < image.height; ++y) {
            uint32_t inRow = 0;
            for (uint32_t x = 0; x < image.width; ++x) {
                const uint8_t *p = image.At(x, y);
                if (p[0] < 235 || p[1] < 235 || p[2] < 235) ++inRow;
            }
            inked += inRow;
            if (inRow > 0) ++rows;
        }
        EXPECT_GT(inked, 3000u);
        EXPECT_GT(rows, 60u);
    }

    // The whole page, for the README when asked for. The report is made
    // from within the folder, so that its title names the sample's files
    // rather than the temporary folder.
    if (const char *sample = std::getenv("OEM4REPORT_SAMPLE_PNG")) {
        const fs::path png = fs::absolute(sample);
        const fs::path before = fs::current_path();
        fs::current_path(dir);
        ReportRequest local;
        local.base = "sample";
        local.messagesPath = "sample.txt";
        auto page = std::make_unique<ReportData>();
        const int collected = CollectReport(local, page.get(), &error);
        fs::current_path(before);
        ASSERT_EQ(collected, kReportOk) << error;
        const std::string html = dir + "/all.html";
        std::FILE *out = std::fopen(html.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(WriteHtml(out, *page), 0);
        std::fclose(out);
        EXPECT_TRUE(Screenshot(browser, html, png.string(), 2900));
        fs::remove(png.string() + ".log");
    }
    fs::remove_all(dir);
#endif
}

// The texts of every drawing that the browser lays over one another, as
// "section: text / text", measured by a script added to a copy of the page
// (the report itself has none) and read back from the dumped document.
std::vector<std::string> OverlappingLabels(const std::string &browser, const std::string &html) {
    static const char kScript[] = "<script>(function(){var out=[];"
                                  "document.querySelectorAll('svg').forEach(function(svg){"
                                  "var t=[].slice.call(svg.querySelectorAll('text')).map(function(e){"
                                  "return [e.textContent,e.getBoundingClientRect()];});"
                                  "for(var i=0;i<t.length;++i)for(var j=i+1;j<t.length;++j){var a=t[i][1],b=t[j][1];"
                                  "if(a.left<b.right-0.5&&b.left<a.right-0.5&&a.top<b.bottom-0.5&&b.top<a.bottom-0.5)"
                                  "out.push(svg.closest('section').id+': '+t[i][0]+' / '+t[j][0]);}});"
                                  "var p=document.createElement('pre');p.textContent='OVER'+'LAPS['+out.join('|')+']';"
                                  "document.body.appendChild(p);})();</script>";
    std::string text = testsupport::ReadText(html);
    const std::size_t end = text.rfind("</body>");
    if (end == std::string::npos) return {"no </body> in " + html};
    text.insert(end, kScript);
    const std::string measured = html + ".measured.html", dom = html + ".dom";
    std::ofstream(measured, std::ios::binary) << text;
    const std::string profile = html + ".profile";
    const std::string command =
        "timeout 120 \"" + browser +
        "\" --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking "
        "--disable-component-update --disable-sync --window-size=1200,2900 --user-data-dir=\"" +
        profile + "\" --dump-dom \"file://" + measured + "\" > \"" + dom + "\" 2>/dev/null";
    const int status = std::system(command.c_str());
    fs::remove_all(profile);
    const std::string out = testsupport::ReadText(dom);
    const std::size_t open = out.find("OVERLAPS["), close = out.find(']', open);
    if (status != 0 || open == std::string::npos || close == std::string::npos)
        return {"the browser measured nothing (status " + std::to_string(status) + ")"};
    std::vector<std::string> overlaps;
    std::stringstream list(out.substr(open + 9, close - open - 9));
    for (std::string item; std::getline(list, item, '|');)
        if (!item.empty()) overlaps.push_back(item);
    return overlaps;
}

// Satellites that set side by side (G11 and G15 of the sample), and the
// receiver track's axis labels, must stay readable: no text of a drawing
// may cover another, for the sample and every real log at hand.
TEST(ReportRendering, NoTwoLabelsOverlap) {
    const std::string browser = FindBrowser();
    if (browser.empty()) GTEST_SKIP() << "no chromium on PATH";
    std::vector<std::string> logs = {OEM4CONV_EXAMPLES_DIR "/sample.gps"};
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(OEM4CONV_SHARED_DATA, error)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".gps" || ext == ".dat") logs.push_back(entry.path().string());
    }
    const std::string dir = reporttest::TempDir("overlap");
    for (const std::string &log : logs) {
        SCOPED_TRACE(log);
        const std::string base = dir + "/" + fs::path(log).stem().string();
        ASSERT_GT(ConvertLog(log, base), 0);
        ReportRequest request;
        request.base = base;
        request.messagesPath = base + ".txt";
        request.htmlPath = base + ".html";
        std::string why;
        ASSERT_EQ(BuildQualityReport(request, &why), kReportOk) << why;
        for (const std::string &overlap : OverlappingLabels(browser, request.htmlPath)) ADD_FAILURE() << overlap;
    }
    fs::remove_all(dir);
}

} // namespace
