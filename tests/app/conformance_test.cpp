// The printer application against other IPP implementations: CUPS printing
// to it driverlessly, and CUPS's IPP conformance suites.
#include "app_harness.h"

using namespace quillet::app_test;

namespace {

// CUPS prints to the application driverlessly: a private cupsd with a queue
// made by lpadmin -m everywhere, and a PDF sent with lp.
TEST_F(App, CupsPrintsDriverlessToIt)
{
    PrivateCupsd cupsd(port_ + 1);
    ASSERT_TRUE(cupsd.running()) << cupsd.error_log();
    const std::string host = cupsd.host();

    // (A backend that fails under load is tried again, as on a print
    // server, rather than stopping the queue for good.)
    RunResult added = run("/usr/sbin/lpadmin", {"-h", host, "-p", "driverless", "-E", "-v", printer_uri(), "-m",
                                                "everywhere", "-o", "printer-error-policy=retry-current-job"});
    ASSERT_EQ(added.status, 0) << added.err;
    // lpadmin returns while CUPS still makes the queue's PPD: a job sent
    // before the queue knows its formats is aborted ("Unable to convert").
    write_file(dir_->file("cups-ready.test"),
               "{\nOPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\n"
               "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
               "ATTR uri printer-uri $uri\nATTR keyword requested-attributes document-format-supported\n"
               "STATUS successful-ok\nDELAY 0.2\n"
               "EXPECT document-format-supported WITH-VALUE application/pdf REPEAT-NO-MATCH REPEAT-LIMIT 300\n}\n");
    RunResult ready = run("/usr/bin/ipptool", {"-t", "ipp://" + host + "/printers/driverless", dir_->file("cups-ready.test")});
    ASSERT_EQ(ready.status, 0) << std::string(ready.out.begin(), ready.out.end()) << cupsd.error_log();
    RunResult sent = run("/usr/bin/lp", {"-h", host, "-d", "driverless", "-t", "driverless-a5", "-o", "media=A5",
                                         "-o", "sides=two-sided-long-edge", Samples + "/brochure.pdf"});
    ASSERT_EQ(sent.status, 0) << sent.err;

    // CUPS's queue empties, then the application's job ends.
    auto out = [&] { return output_of(dir_->file("out"), "driverless-a5"); };
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(240);
    std::vector<PageDoc> docs;
    while (std::chrono::steady_clock::now() < end) {
        RunResult queue = run("/usr/bin/lpstat", {"-h", host, "-o"});
        if (queue.status == 0 && queue.out.empty() && !out().empty()) {
            try {
                docs = read_pages(read_file(out()));
                if (docs.size() == 3)
                    break;
            } catch (const StreamError &) {
                // still being written
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_EQ(docs.size(), 3u) << "every page of the PDF\n" << cupsd.error_log() << log();
    for (const PageDoc &d : docs) {
        EXPECT_EQ(d.paper.code, 11u);  // A5
        EXPECT_EQ(d.copies.duplex, 0u);
        EXPECT_EQ(d.duplex.duplex, 1u);
        EXPECT_NE(std::count(d.image.bits.begin(), d.image.bits.end(), 0), long(d.image.bits.size()));
    }

    // Short-edge binding: CUPS turns the back sides, as the printer asks.
    auto job = [&](const std::string &title, const char *sides, std::vector<std::string> options = {}) {
        // A5: the whole sheet is printed, so the back sides compare turned.
        std::vector<std::string> args = {"-h", host, "-d", "driverless", "-t", title, "-o", "media=A5", "-o",
                                         std::string("sides=") + sides, Samples + "/shapes.ps"};
        args.insert(args.end() - 1, options.begin(), options.end());
        RunResult r = run("/usr/bin/lp", args);
        EXPECT_EQ(r.status, 0) << r.err;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        while (std::chrono::steady_clock::now() < until) {
            RunResult queue = run("/usr/bin/lpstat", {"-h", host, "-o"});
            const std::string file = output_of(dir_->file("out"), title);
            if (queue.status == 0 && queue.out.empty() && !file.empty()) {
                try {
                    std::vector<PageDoc> pages = read_pages(read_file(file));
                    if (pages.size() == 2)
                        return pages;
                } catch (const StreamError &) {
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return std::vector<PageDoc>{};
    };
    std::vector<PageDoc> longEdge = job("long-edge", "two-sided-long-edge");
    std::vector<PageDoc> shortEdge = job("short-edge", "two-sided-short-edge");
    ASSERT_EQ(longEdge.size(), 2u);
    ASSERT_EQ(shortEdge.size(), 2u);
    const Bitmap &back = shortEdge[1].image, &longBack = longEdge[1].image;
    ASSERT_EQ(back.w, longBack.w);
    ASSERT_EQ(back.h, longBack.h);
    unsigned width = unsigned(uint64_t{shortEdge[1].paper.width_1200} * shortEdge[1].geometry.resolution_x / 1200);
    EXPECT_LT(page_distance(back, longBack, width, true), page_distance(back, longBack, width, false) / 10);

    // The printer's options as CUPS's users give them.  CUPS's IPP backend
    // passes neither print-darkness nor quillet-mirror, and takes the media
    // type from the queue's MediaType alone: those are the printer's
    // defaults, set on its web page.
    struct Option {
        const char *name;
        std::vector<std::string> lp;
        std::function<bool(const PageDoc &)> holds;
    };
    const Option options[] = {
        {"MediaType", {"-o", "MediaType=Labels"}, [](const PageDoc &d) { return d.media.media == 8; }},
        {"draft", {"-o", "print-quality=3"}, [](const PageDoc &d) { return d.geometry.resolution_x == 300; }},
    };
    for (const Option &o : options) {
        std::vector<PageDoc> pages = job(std::string("option-") + o.name, "two-sided-long-edge", o.lp);
        ASSERT_EQ(pages.size(), 2u) << o.name;
        EXPECT_TRUE(o.holds(pages[0])) << o.name << ": density " << int(pages[0].media.density) << ", media "
                                       << int(pages[0].media.media) << ", " << pages[0].geometry.resolution_x << " dpi";
    }
}

// The files CUPS's IPP test suites print, made here: PWG raster of the
// types and resolutions the printer takes, JPEG and PDF samples; the
// suites' other rasters are files that exist, for tests they skip.
void make_suite_files(const std::string &dir)
{
    const char *resolutions[] = {"150", "180", "300", "360", "600", "720"};
    const char *types[] = {"black-1", "cmyk-8", "sgray-8", "srgb-16", "srgb-8"};
    const std::pair<const char *, const char *> pages[] = {{"color.jpg-4x6", "na_index-4x6_4x6in"},
                                                           {"gray.jpg-4x6", "na_index-4x6_4x6in"},
                                                           {"document-a4", "iso_a4_210x297mm"},
                                                           {"onepage-a4", "iso_a4_210x297mm"},
                                                           {"document-letter", "na_letter_8.5x11in"},
                                                           {"onepage-letter", "na_letter_8.5x11in"}};
    for (const char *res : resolutions)
        for (const char *type : types) {
            std::string folder = dir + "/pwg-raster-samples-" + res + "dpi/" + type;
            fs::create_directories(folder);
            for (auto [name, media] : pages) {
                std::string file = folder + "/" + name + "-" + type + "-" + res + "dpi.pwg";
                unsigned dpi = unsigned(std::atoi(res));
                if (std::string(type) == "sgray-8" && (dpi == 300 || dpi == 600)) {
                    GreyPage page = grey_page(media, dpi, dpi);
                    write_pwg(file, page);
                } else {
                    write_file(file, std::string());
                }
            }
        }
    for (const char *name : {"document-a4.pdf", "document-letter.pdf"})
        fs::copy_file(Samples + "/brochure.pdf", dir + "/" + name);
    for (const char *name : {"document-a4.ps", "document-letter.ps"})
        fs::copy_file(Samples + "/letter.ps", dir + "/" + name);
    for (auto [device, name] : {std::pair{"jpeg", "color.jpg"}, std::pair{"jpeggray", "gray.jpg"}}) {
        std::string cmd = std::string("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=") + device +
                          " -r40 -dLastPage=1 -sOutputFile=" + dir + "/" + name + " " + Samples + "/shapes.ps";
        if (std::system(cmd.c_str()) != 0)
            throw std::runtime_error("ghostscript failed: " + cmd);
    }
}

// The tests of a CUPS IPP suite that fail, by name.
std::vector<std::string> failing_tests(const std::string &out)
{
    std::vector<std::string> failed;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.rfind("[FAIL]");
        if (at == std::string::npos)
            continue;
        size_t start = line.find_first_not_of(' ');
        size_t end = line.find_last_not_of(' ', at - 1);
        failed.push_back(line.substr(start, end - start + 1));
    }
    return failed;
}

// CUPS's IPP conformance suites: all pass but for what PAPPL 1.3.1 lacks.
TEST_F(App, IppConformanceSuites)
{
    std::string files = dir_->file("suite");
    make_suite_files(files);
    // PAPPL 1.3.1 answers a held Print-Job without job-state-reasons, and
    // has no preferred-attributes-supported, overrides-supported,
    // print-rendering-intent or printer-supply for a driver that cannot
    // read its supplies or identify itself.
    // With TLS on, it lists one printer-uri-supported (ipp) for a client on
    // loopback but two uri-security-supported values.
    const std::string loopback = "RFC 8011 section 4.2.5: Get-Printer-Attributes Operation (default)";
    const std::pair<const char *, std::vector<std::string>> suites[] = {
        {"ipp-1.1.test", {loopback, "Print-Job with job-hold-until"}},
        {"ipp-2.0.test", {loopback, "Print-Job with job-hold-until"}},
        {"ipp-everywhere.test",
         {loopback, "Print-Job with job-hold-until", "PWG 5100.14 section 5.1/5.2 - Required Operations and Attributes"}},
    };
    for (const auto &[suite, allowed] : suites) {
        SCOPED_TRACE(suite);
        fs::copy_file("/usr/share/cups/ipptool/" + std::string(suite), files + "/" + suite,
                      fs::copy_options::overwrite_existing);
        Process p("/bin/sh", RunOptions({"-c", "cd '" + files + "' && exec /usr/bin/ipptool -t -I -f '" + Samples +
                                                   "/photo.png' '" + printer_uri() + "' " + suite}));
        RunResult r = p.finish(std::chrono::seconds(300));
        std::string out(r.out.begin(), r.out.end());
        EXPECT_GT(std::count(out.begin(), out.end(), '\n'), 10) << out << r.err;
        EXPECT_NE(out.find("[PASS]"), std::string::npos) << out << r.err;
        EXPECT_EQ(failing_tests(out), allowed) << out << log();
    }
}

}  // namespace
