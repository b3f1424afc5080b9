// The web page: defaults set in a real browser apply to the next job.
#include "app_harness.h"

using namespace quillet::app_test;

namespace {

// The printer's web pages, in a real browser: the density and media type
// set there apply to the next job that does not name them, and the mirror
// option is shown by its label where the server offers labels (on PAPPL
// 1.4; on 1.3 by its keyword).
TEST_F(App, WebPageDefaultsApplyToTheNextJob)
{
    write_file(dir_->file("languages.test"), RootRequest +
                                                 "OPERATION Get-Printer-Attributes\nATTR keyword requested-attributes "
                                                 "printer-strings-languages-supported\nEXPECT "
                                                 "printer-strings-languages-supported\n}\n");
    const std::string labels =
        run("/usr/bin/ipptool", {"-t", printer_uri(), dir_->file("languages.test")}).status == 0 ? "1" : "0";
    const std::string web = "http://admin:" + std::string(Password) + "@127.0.0.1:" + std::to_string(port_);
    RunResult r = run("/usr/bin/python3", {QUILLET_WEB_SCRIPT, web, "quillet", "100", "labels", labels});
    ASSERT_EQ(r.status, 0) << std::string(r.out.begin(), r.out.end()) << r.err;
    std::vector<PageDoc> docs = read_pages(print(Samples + "/photo.png", "image/png", ""));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0].media.media, 8);    // labels
    EXPECT_EQ(docs[0].media.density, 4);  // darkest
    r = run("/usr/bin/python3", {QUILLET_WEB_SCRIPT, web, "quillet", "0", "stationery", labels});
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
