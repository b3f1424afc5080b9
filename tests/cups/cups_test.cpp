// Jobs printed through real CUPS with the driver's PPD: CUPS's filter chain
// run by cupsfilter over a matrix of options, and a private cupsd with a
// queue, jobs sent with lp, and a job cancelled while it prints.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <cups/ppd.h>

#include "cupsd.h"
#include "expect.h"
#include "files.h"
#include "printer.h"
#include "process.h"
#include "raster.h"
#include "stream.h"

using namespace quillet::test;
namespace fs = std::filesystem;

namespace {

const std::string Samples = QUILLET_DOCUMENTS;

// The PPD and filter CUPS is given.  By default the built PPD with its
// filter line pointing at a copy of the built filter in a folder CUPS
// accepts (owned by root, not writable by others); with QUILLET_INSTALLED
// set, the PPD and filter that the package installed.
struct Driver {
    TempDir dir;
    std::string ppd;

    Driver()
    {
        chmod(dir.path().c_str(), 0755);
        if (getenv("QUILLET_INSTALLED")) {
            ppd = QUILLET_INSTALLED_PPD;
            return;
        }
        fs::create_directories(dir.file("bin"));
        chmod(dir.file("bin").c_str(), 0755);
        std::string filter = dir.file("bin/rastertoquillet");
        fs::copy_file(filter_path(), filter);
        chmod(filter.c_str(), 0755);
        auto text = read_file(QUILLET_PPD);
        std::string s(text.begin(), text.end());
        const std::string line = "\"application/vnd.cups-raster 100 rastertoquillet\"";
        size_t at = s.find(line);
        if (at == std::string::npos)
            throw std::runtime_error("no filter line in the PPD");
        s.replace(at, line.size(), "\"application/vnd.cups-raster 100 " + filter + "\"");
        ppd = dir.file("quillet.ppd");
        write_file(ppd, s);
    }
};

Driver &driver()
{
    static Driver d;
    return d;
}

RunResult run(const std::string &program, const std::vector<std::string> &args,
              std::chrono::milliseconds timeout = std::chrono::seconds(120))
{
    Process p(program, RunOptions(args));
    return p.finish(timeout);
}

// --- CUPS's filter chain through cupsfilter --------------------------------

struct ChainCase {
    const char *name;
    const char *document;
    std::vector<std::string> options;  // cupsfilter arguments
    uint32_t paper;
    uint32_t dpi;
    uint8_t media, density;
    uint32_t copies;
    bool twoSided, mirror;
    bool inkAtEveryEdge = false;  // a frame close to the edges of the sheet
};

class Chain : public testing::TestWithParam<ChainCase> {};

std::vector<std::string> chain_args(const ChainCase &c, const std::string &type, bool everyFilter)
{
    std::vector<std::string> args;
    if (everyFilter)
        args.push_back("-e");
    args.insert(args.end(), {"-p", driver().ppd, "-m", type});
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(c.document[0] == '/' ? c.document : Samples + "/" + c.document);
    return args;
}

// Whether a page has ink within margin pixels of each of its four edges.
std::array<bool, 4> ink_near_edges(const RasterPage &page, unsigned margin)
{
    std::array<bool, 4> ink{};  // left, top, right, bottom
    for (unsigned y = 0; y < page.height(); y++)
        for (unsigned x = 0; x < page.width(); x++)
            if (page.pixel(x, y)) {
                ink[0] |= x < margin;
                ink[1] |= y < margin;
                ink[2] |= x + margin >= page.width();
                ink[3] |= y + margin >= page.height();
            }
    return ink;
}

TEST_P(Chain, RecordsCarryTheOptionsAndPagesEqualCupsRaster)
{
    const ChainCase &c = GetParam();
    RunResult job = run("/usr/sbin/cupsfilter", chain_args(c, "printer/quillet", true));
    ASSERT_EQ(job.status, 0) << job.err;
    auto docs = read_pages(job.out);  // throws on any broken rule

    // The raster CUPS's own chain makes of the same job.
    RunResult raster = run("/usr/sbin/cupsfilter", chain_args(c, "application/vnd.cups-raster", false));
    ASSERT_EQ(raster.status, 0) << raster.err;
    TempDir tmp;
    write_file(tmp.file("job.ras"), raster.out);
    std::vector<RasterPage> pages = read_raster(tmp.file("job.ras"));

    ASSERT_EQ(docs.size(), pages.size());
    ASSERT_FALSE(docs.empty());
    // Nothing is cut: no page lost an edge to the printable area.
    EXPECT_EQ(job.err.find("WARNING: Page"), std::string::npos) << job.err;
    for (size_t i = 0; i < docs.size(); i++) {
        const PageDoc &d = docs[i];
        SCOPED_TRACE("page " + std::to_string(i + 1));
        EXPECT_EQ(d.paper.code, c.paper);
        EXPECT_EQ(d.geometry.resolution_x, c.dpi);
        EXPECT_EQ(d.geometry.resolution_y, c.dpi);
        EXPECT_EQ(d.media.media, c.media);
        EXPECT_EQ(d.media.density, c.density);
        EXPECT_EQ(d.copies.copies, c.copies);
        EXPECT_EQ(d.copies.duplex, c.twoSided ? 0u : 0xFFFFFFFFu);
        EXPECT_EQ(d.duplex.duplex, c.twoSided ? 1u : 0u);
        EXPECT_EQ(pages[i].header.cupsInteger[0], c.mirror ? 1u : 0u);
        EXPECT_EQ(pages[i].header.MirrorPrint, CUPS_FALSE);
        Bitmap want = expected_image(pages[i]);
        EXPECT_EQ(d.image.w, (pages[i].width() + 31) / 32 * 32);
        EXPECT_EQ(d.image.h, pages[i].height());
        EXPECT_TRUE(d.image == want) << "decoded page differs from CUPS's raster";
        if (c.inkAtEveryEdge && i == 0) {
            EXPECT_EQ(ink_near_edges(pages[i], c.dpi * 5 / 25), (std::array<bool, 4>{true, true, true, true}))
                << "the frame did not reach every edge of the raster";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Options, Chain,
    testing::Values(
        ChainCase{"pdf_a4_defaults", "brochure.pdf", {}, 9, 600, 0, 2, 1, false, false},
        ChainCase{"cups_test_page", "/usr/share/cups/data/default-testpage.pdf", {}, 9, 600, 0, 2, 1, false, false},
        ChainCase{"a4_frame_300dpi", "frame.pdf", {"-o", "PageSize=A4", "-o", "Resolution=300dpi"}, 9, 300, 0, 2, 1,
                  false, false, true},
        ChainCase{"a4_frame_1200dpi", "frame.pdf", {"-o", "media=A4", "-o", "Resolution=1200dpi"}, 9, 1200, 0, 2, 1,
                  false, false, true},
        ChainCase{"a4_frame_fit_to_page_600dpi", "frame.pdf", {"-o", "fit-to-page"}, 9, 600, 0, 2, 1, false, false,
                  true},
        ChainCase{"pdf_a5_300dpi_kraft_dark", "brochure.pdf",
                  {"-o", "PageSize=A5", "-o", "Resolution=300dpi", "-o", "MediaType=Kraft120", "-o",
                   "QuilletDensity=Dark"},
                  11, 300, 3, 3, 1, false, false},
        ChainCase{"pdf_custom_size", "brochure.pdf", {"-o", "media=Custom.4x6in", "-o", "Resolution=300dpi"}, 256,
                  300, 0, 2, 1, false, false},
        ChainCase{"pdf_largest_custom_size", "frame.pdf", {"-o", "PageSize=Custom.612x841", "-o", "fit-to-page"}, 256,
                  600, 0, 2, 1, false, false, true},
        ChainCase{"ps_letter_1200dpi_mirrored", "shapes.ps",
                  {"-o", "PageSize=Letter", "-o", "Resolution=1200dpi", "-o", "QuilletMirror=True"}, 1, 1200, 0, 2, 1,
                  false, true},
        ChainCase{"ps_long_edge_three_copies", "shapes.ps", {"-n", "3", "-o", "Duplex=DuplexNoTumble"}, 9, 600, 0, 2,
                  3, true, false},
        ChainCase{"text_short_edge_b5_labels_lightest", "notes.txt",
                  {"-o", "Duplex=DuplexTumble", "-o", "media=B5", "-o", "MediaType=Labels", "-o",
                   "QuilletDensity=Lightest", "-o", "Resolution=300dpi"},
                  13, 300, 8, 0, 1, true, false},
        ChainCase{"text_letter", "notes.txt", {"-o", "media=Letter"}, 1, 600, 0, 2, 1, false, false},
        ChainCase{"text_landscape_a4", "notes.txt", {"-o", "landscape"}, 9, 600, 0, 2, 1, false, false},
        ChainCase{"image_fit_to_page", "photo.png", {"-o", "fit-to-page", "-o", "Resolution=300dpi"}, 9, 300, 0, 2, 1,
                  false, false},
        ChainCase{"text_executive_tracing_darkest", "notes.txt",
                  {"-o", "PageSize=Executive", "-o", "MediaType=Tracing", "-o", "QuilletDensity=Darkest", "-o",
                   "Resolution=300dpi"},
                  7, 300, 9, 4, 1, false, false},
        ChainCase{"text_envelope_dl", "notes.txt", {"-o", "media=EnvDL", "-o", "Resolution=300dpi"}, 27, 300, 0, 2, 1,
                  false, false},
        ChainCase{"text_envelope_c5", "notes.txt", {"-o", "PageSize=EnvC5", "-o", "Resolution=300dpi"}, 28, 300, 0, 2,
                  1, false, false},
        ChainCase{"text_envelope_monarch", "notes.txt", {"-o", "media=EnvMonarch", "-o", "Resolution=300dpi"}, 37,
                  300, 0, 2, 1, false, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Duplex, ShortEdgeTurnsTheBackSides)
{
    auto job = [](const char *duplex) {
        RunResult r = run("/usr/sbin/cupsfilter", {"-e", "-p", driver().ppd, "-m", "printer/quillet", "-o",
                                                   std::string("Duplex=") + duplex, "-o", "Resolution=300dpi",
                                                   Samples + "/shapes.ps"});
        EXPECT_EQ(r.status, 0) << r.err;
        return read_pages(r.out);
    };
    std::vector<PageDoc> longEdge = job("DuplexNoTumble"), shortEdge = job("DuplexTumble");
    ASSERT_EQ(longEdge.size(), 2u);
    ASSERT_EQ(shortEdge.size(), 2u);
    for (const std::vector<PageDoc> *docs : {&longEdge, &shortEdge})
        for (const PageDoc &d : *docs) {
            EXPECT_EQ(d.duplex.duplex, 1u);
            EXPECT_EQ(d.copies.duplex, 0u);
        }
    EXPECT_TRUE(shortEdge[0].image == longEdge[0].image) << "front sides differ";
    const Bitmap &back = shortEdge[1].image, &longBack = longEdge[1].image;
    ASSERT_EQ(back.w, longBack.w);
    ASSERT_EQ(back.h, longBack.h);
    unsigned width = shortEdge[1].paper.width_1200 / 4;  // the raster's width at 300 dpi
    double turned = page_distance(back, longBack, width, true);
    double asIs = page_distance(back, longBack, width, false);
    EXPECT_LT(turned, asIs / 10) << "as is " << asIs;
}

// Every size, media type and density of the PPD reaches the stream with the
// printer's own code.
TEST(Ppd, EveryChoiceReachesTheStream)
{
    struct Choice {
        const char *size;
        uint32_t paper;
        const char *media_type;
        unsigned media;
        const char *density;
        int level;
    };
    const Choice table[] = {
        {"A4", 9, "Plain", 0, "Lightest", 0},          {"A5", 11, "StationeryArchival", 1, "Light", 1},
        {"B5", 13, "Kraft80", 2, "Normal", 2},        {"Letter", 1, "Kraft120", 3, "Dark", 3},
        {"Executive", 7, "Kraft200", 4, "Darkest", 4}, {"EnvMonarch", 37, "Kraft250", 5, "Lightest", 0},
        {"EnvDL", 27, "Label160", 6, "Light", 1},      {"EnvC5", 28, "Label180", 7, "Normal", 2},
        {"A4", 9, "Labels", 8, "Dark", 3},            {"A4", 9, "Tracing", 9, "Darkest", 4},
    };
    for (const Choice &c : table) {
        SCOPED_TRACE(std::string(c.size) + " " + c.media_type + " " + c.density);
        RunResult r = run("/usr/sbin/cupsfilter",
                          {"-e", "-p", driver().ppd, "-m", "printer/quillet", "-o", "Resolution=300dpi", "-o",
                           std::string("PageSize=") + c.size, "-o", std::string("MediaType=") + c.media_type, "-o",
                           std::string("QuilletDensity=") + c.density, Samples + "/blank.ps"});
        ASSERT_EQ(r.status, 0) << r.err;
        auto docs = read_pages(r.out);
        ASSERT_EQ(docs.size(), 1u);
        EXPECT_EQ(docs[0].media.media, c.media);
        EXPECT_EQ(docs[0].media.density, c.level);
        EXPECT_EQ(docs[0].paper.code, c.paper);
    }
    using namespace quillet;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ppd_file_t *ppd = ppdOpenFile(QUILLET_PPD);
    ASSERT_TRUE(ppd);
    ppd_attr_t *id = ppdFindAttr(ppd, "1284DeviceID", nullptr);
    EXPECT_TRUE(id && id->value && device_id == id->value);
    ppdClose(ppd);
#pragma GCC diagnostic pop
}

TEST(Ppd, PassesCupstestppdWithoutWarnings)
{
    if (getenv("QUILLET_INSTALLED"))
        GTEST_SKIP() << "checked on the built PPD";
    // cupstestppd looks for the filter under the root it is given.
    TempDir root;
    fs::create_directories(root.file("usr/lib/cups/filter"));
    fs::copy_file(filter_path(), root.file("usr/lib/cups/filter/rastertoquillet"));
    RunResult r = run("/usr/bin/cupstestppd", {"-R", root.path(), QUILLET_PPD});
    std::string out(r.out.begin(), r.out.end());
    EXPECT_EQ(r.status, 0) << out;
    EXPECT_NE(out.find(": PASS"), std::string::npos) << out;
    EXPECT_EQ(out.find("WARN"), std::string::npos) << out;
    EXPECT_EQ(out.find("FAIL"), std::string::npos) << out;
}

// --- A private cupsd ------------------------------------------------------

class Cupsd : public testing::Test {
protected:
    static void SetUpTestSuite() { cupsd_ = new PrivateCupsd(free_port()); }
    static void TearDownTestSuite() { delete cupsd_; }
    void SetUp() override { ASSERT_TRUE(cupsd_->running()) << "the private cupsd did not start: " << error_log(); }

    static std::string host() { return cupsd_->host(); }

    // Points the queue at a new output file; returns its path.
    static std::string queue_to(const std::string &name)
    {
        std::string out = cupsd_->file("out/" + name);
        RunResult r = run("/usr/sbin/lpadmin", {"-h", host(), "-p", "quillet", "-E", "-v", "file://" + out, "-P",
                                                driver().ppd});
        EXPECT_EQ(r.status, 0) << r.err;
        return out;
    }

    static int submit(const std::vector<std::string> &options, const std::string &document)
    {
        std::vector<std::string> args = {"-h", host(), "-d", "quillet"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(document[0] == '/' ? document : Samples + "/" + document);
        RunResult r = run("/usr/bin/lp", args);
        std::string out(r.out.begin(), r.out.end());
        size_t at = out.find("quillet-");
        if (r.status != 0 || at == std::string::npos)
            return -1;
        return std::atoi(out.c_str() + at + 8);
    }

    // Waits until no job is pending or printing.
    static bool wait_idle(std::chrono::seconds timeout = std::chrono::seconds(120))
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            RunResult r = run("/usr/bin/lpstat", {"-h", host(), "-o"});
            if (r.status == 0 && r.out.empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }

    static std::string job_state(int job)
    {
        RunResult r = run("/usr/bin/ipptool", {"-tv", "ipp://" + host() + "/jobs/" + std::to_string(job),
                                               "get-job-attributes.test"});
        std::string out(r.out.begin(), r.out.end());
        const std::string key = "job-state (enum) = ";
        size_t at = out.find(key);
        if (at == std::string::npos)
            return "?";
        at += key.size();
        return out.substr(at, out.find_first_of(" \n", at) - at);
    }

    static std::string error_log() { return cupsd_->error_log(); }

    // The line of cupsd's log that tells how the job's filter ended, or an
    // empty text while it runs.
    static std::string filter_end(int job)
    {
        std::istringstream log(error_log());
        const std::string tag = "[Job " + std::to_string(job) + "] PID ";
        for (std::string line; std::getline(log, line);)
            if (line.find(tag) != std::string::npos && line.find("rastertoquillet) ") != std::string::npos &&
                (line.find(") exited") != std::string::npos || line.find(") stopped") != std::string::npos ||
                 line.find(") crashed") != std::string::npos))
                return line;
        return {};
    }

    // Waits until cupsd has seen the job's last filter end: a cancelled job
    // leaves the queue at once, while the filter still finishes its page.
    static bool wait_filter_end(int job, std::chrono::seconds timeout = std::chrono::seconds(60))
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (!filter_end(job).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    static PrivateCupsd *cupsd_;
};

PrivateCupsd *Cupsd::cupsd_;

TEST_F(Cupsd, PrintsJobsWithTheirOptions)
{
    struct Job {
        std::vector<std::string> options;
        const char *document;
        size_t pages;  // 0: as many as the text takes
        uint32_t paper, copies;
        bool twoSided;
    };
    const Job jobs[] = {
        {{"-o", "media=A5", "-n", "2"}, "brochure.pdf", 3, 11, 2, false},
        {{"-o", "sides=two-sided-long-edge", "-o", "QuilletMirror=True", "-o", "Resolution=300dpi"},
         "notes.txt", 0, 9, 1, true},
        {{"-o", "PageSize=Letter", "-o", "MediaType=StationeryArchival"}, "shapes.ps", 2, 1, 1, false},
        {{}, "/usr/share/cups/data/default-testpage.pdf", 1, 9, 1, false},
        {{"-o", "media=A4", "-o", "Resolution=1200dpi"}, "frame.pdf", 1, 9, 1, false},
        {{"-o", "landscape"}, "notes.txt", 0, 9, 1, false},
        {{"-o", "fit-to-page", "-o", "sides=two-sided-short-edge"}, "photo.png", 1, 9, 1, true},
    };
    int n = 0;
    for (const Job &j : jobs) {
        std::string out = queue_to("job" + std::to_string(++n) + ".oakt");
        int id = submit(j.options, j.document);
        ASSERT_GT(id, 0);
        ASSERT_TRUE(wait_idle()) << error_log();
        ASSERT_TRUE(wait_filter_end(id)) << error_log();
        EXPECT_EQ(job_state(id), "completed") << error_log();
        auto docs = read_pages(read_file(out));
        if (j.pages) {
            ASSERT_EQ(docs.size(), j.pages);
        }
        ASSERT_FALSE(docs.empty());
        // Nothing was cut to the printable area.
        EXPECT_EQ(error_log().find("larger than the printable area"), std::string::npos) << j.document;
        for (const PageDoc &d : docs) {
            EXPECT_EQ(d.paper.code, j.paper);
            EXPECT_EQ(d.copies.copies, j.copies);
            EXPECT_EQ(d.copies.duplex, j.twoSided ? 0u : 0xFFFFFFFFu);
        }
    }
}

// IPP clients' attributes, sent by ipptool as a Print-Job request.
TEST_F(Cupsd, IppAttributesReachTheRecords)
{
    struct Job {
        const char *name;
        std::string attributes;  // ipptool ATTR lines
        uint32_t dpi;
        uint8_t media;
        uint32_t paper;
    };
    const Job jobs[] = {
        {"quality_draft", "ATTR enum print-quality 3", 300, 0, 9},
        {"quality_high", "ATTR enum print-quality 5", 1200, 0, 9},
        {"quality_normal_labels", "ATTR enum print-quality 4\nATTR keyword media-type labels", 600, 8, 9},
        {"media_col_labels", "ATTR collection media-col {\nMEMBER keyword media-type labels\n}", 600, 8, 9},
        {"explicit_MediaType_over_media_type", "ATTR keyword media-type labels\nATTR keyword MediaType Kraft120", 600,
         3, 9},
        {"media_col_archival_letter",
         "ATTR collection media-col {\nMEMBER keyword media-type stationery-archival\n"
         "MEMBER collection media-size {\nMEMBER integer x-dimension 21590\nMEMBER integer y-dimension 27940\n}\n}",
         600, 1, 1},
        {"media_keyword_kraft_a5", "ATTR keyword media iso_a5_148x210mm,kraft-120", 600, 3, 11},
    };
    int n = 0;
    for (const Job &j : jobs) {
        SCOPED_TRACE(j.name);
        std::string out = queue_to("ipp" + std::to_string(++n) + ".oakt");
        std::string test = cupsd_->file(std::string(j.name) + ".test");
        write_file(test, "{\nNAME \"Print-Job\"\nOPERATION Print-Job\nGROUP operation-attributes-tag\n"
                         "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                         "ATTR uri printer-uri $uri\nATTR name requesting-user-name $user\n"
                         "ATTR mimeMediaType document-format application/pdf\nGROUP job-attributes-tag\n" +
                             j.attributes + "\nFILE $filename\nSTATUS successful-ok\n}\n");
        RunResult r = run("/usr/bin/ipptool", {"-t", "-f", Samples + "/frame.pdf",
                                               "ipp://" + host() + "/printers/quillet", test});
        ASSERT_EQ(r.status, 0) << std::string(r.out.begin(), r.out.end());
        ASSERT_TRUE(wait_idle()) << error_log();
        auto docs = read_pages(read_file(out));
        ASSERT_EQ(docs.size(), 1u);
        EXPECT_EQ(docs[0].geometry.resolution_x, j.dpi);
        EXPECT_EQ(docs[0].media.media, j.media);
        EXPECT_EQ(docs[0].paper.code, j.paper);
    }
    // What IPP clients are offered.
    RunResult attrs = run("/usr/bin/ipptool", {"-tv", "ipp://" + host() + "/printers/quillet",
                                               "get-printer-attributes.test"});
    std::string text(attrs.out.begin(), attrs.out.end());
    for (const char *offer : {"print-quality-supported (1setOf enum) = draft,normal,high",
                              "stationery,stationery-archival,kraft-80,kraft-120,kraft-200,kraft-250,label-160,"
                              "label-180,labels,tracing"})
        EXPECT_NE(text.find(offer), std::string::npos) << offer;
}

// CUPS matches a connected printer to the installed PPD by its IEEE 1284
// device ID.
TEST_F(Cupsd, InstalledDriverIsFoundByTheDeviceId)
{
    if (!getenv("QUILLET_INSTALLED"))
        GTEST_SKIP() << "needs the PPD installed in CUPS's model folder";
    RunResult r = run("/usr/sbin/lpinfo", {"-h", host(), "--device-id", "MFG:Quillet;MDL:Mono Laser;CMD:OAKT;", "-m"});
    std::string out(r.out.begin(), r.out.end());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(out.find("quillet.ppd Quillet Mono Laser"), std::string::npos) << out;
}

TEST_F(Cupsd, JobCancelledWhilePrintingEndsWithACompletePage)
{
    std::string out = queue_to("cancel.oakt");
    int id = submit({"-o", "Resolution=1200dpi"}, "notes.txt");
    ASSERT_GT(id, 0);
    // Wait for the first bytes of printer data, then cancel.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code ec;
    while (std::chrono::steady_clock::now() < end && (!fs::exists(out) || fs::file_size(out, ec) == 0))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GT(fs::file_size(out, ec), 0u);
    RunResult c = run("/usr/bin/cancel", {"-h", host(), "quillet-" + std::to_string(id)});
    EXPECT_EQ(c.status, 0) << c.err;
    ASSERT_TRUE(wait_idle()) << error_log();
    ASSERT_TRUE(wait_filter_end(id)) << error_log();
    EXPECT_EQ(job_state(id), "canceled");
    EXPECT_NE(filter_end(id).find("exited with no errors"), std::string::npos) << filter_end(id);
    auto docs = read_pages(read_file(out));  // a complete page document at the end
    EXPECT_GE(docs.size(), 1u);
    EXPECT_LT(docs.size(), 4u) << "the whole job has 4 pages";
}

}  // namespace
