// Real documents rendered by ghostscript to 1-bit CUPS raster, run through
// the filter, decoded band by band and compared bit for bit with the raster
// after padding, clipping and mirroring.
#include <gtest/gtest.h>

#include <cstdlib>

#include "expect.h"
#include "files.h"
#include "process.h"
#include "raster.h"
#include "stream.h"

using namespace quillet::test;
namespace record_type = quillet::record_type;
using quillet::BandRecord;
using quillet::Bih;
using quillet::put_u32;
using quillet::unpack;

namespace {

// Renders a document to a CUPS raster file as ghostscript's cups device does
// for a driver with no hardware margins.
std::string render(const TempDir &dir, const std::string &document, unsigned dpi)
{
    std::string out = dir.file("page-" + std::to_string(dpi) + ".ras");
    std::string cmd = "gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=cups -r" + std::to_string(dpi) +
                      " -sPAPERSIZE=a4 -dcupsColorSpace=3 -dcupsBitsPerColor=1 -sOutputFile=" + out + " " +
                      std::string(QUILLET_DOCUMENTS) + "/" + document + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("ghostscript failed: " + cmd);
    return out;
}

struct DocumentCase {
    const char *name;
    const char *document;
    unsigned dpi;
    bool mirror;
    size_t pages;
};

class Documents : public testing::TestWithParam<DocumentCase> {};

TEST_P(Documents, PrintBitForBit)
{
    const DocumentCase &c = GetParam();
    TempDir dir;
    std::string raster = render(dir, c.document, c.dpi);
    std::vector<RasterPage> pages = read_raster(raster);
    ASSERT_EQ(pages.size(), c.pages);
    if (c.mirror) {
        for (RasterPage &p : pages)
            p.header.cupsInteger[0] = 1;
        raster = dir.file("mirrored.ras");
        write_raster(raster, pages);
    }

    RunResult r = run_filter({filter_args(raster)});
    ASSERT_EQ(r.status, 0) << r.err;
    auto docs = read_pages(r.out);
    ASSERT_EQ(docs.size(), pages.size());
    for (size_t i = 0; i < pages.size(); i++) {
        Bitmap want = expected_image(pages[i]);
        EXPECT_EQ(docs[i].image.w, want.w);
        EXPECT_EQ(docs[i].image.h, want.h);
        EXPECT_TRUE(docs[i].image == want) << "page " << i + 1 << " differs";
        EXPECT_EQ(docs[i].paper.code, 9u);  // A4
        EXPECT_EQ(docs[i].geometry.resolution_x, c.dpi);
        EXPECT_EQ(docs[i].bands.size(), (want.h + 255) / 256);
        // The image is not blank: the document put ink on it.
        EXPECT_NE(std::count(want.bits.begin(), want.bits.end(), 0), long(want.bits.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Rendered, Documents,
                         testing::Values(DocumentCase{"letter_300", "letter.ps", 300, false, 1},
                                         DocumentCase{"letter_600", "letter.ps", 600, false, 1},
                                         DocumentCase{"letter_1200", "letter.ps", 1200, false, 1},
                                         DocumentCase{"letter_600_mirrored", "letter.ps", 600, true, 1},
                                         DocumentCase{"shapes_300", "shapes.ps", 300, false, 2},
                                         DocumentCase{"shapes_600", "shapes.ps", 600, false, 2},
                                         DocumentCase{"shapes_1200_mirrored", "shapes.ps", 1200, true, 2}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
