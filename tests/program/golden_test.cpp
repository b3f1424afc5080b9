// Golden streams: whole jobs through the built filter, compared with the
// digests of the streams and status lines that a known-good build made of
// the same input (time records blanked).  Any change to a byte of the
// stream or to a status line of these jobs shows up here.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

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

std::string digest(std::span<const uint8_t> bytes)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes)
        h = (h ^ b) * 0x100000001b3ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

std::vector<uint8_t> without_time(std::vector<uint8_t> stream)
{
    for (const Record &r : split_records(stream))
        if (r.type == record_type::time)
            std::fill(stream.begin() + long(r.offset) + 12, stream.begin() + long(r.offset) + 60, 0);
    return stream;
}

// A sample as ghostscript rendered it once (1-bit, A4, at the case's
// resolution), kept compressed beside the tests: another ghostscript renders
// other pixels, and the digests are of this input.
std::vector<uint8_t> rendered(const std::string &name)
{
    TempDir dir;
    std::string out = dir.file("page.ras");
    std::string cmd = "xz -dc " + std::string(QUILLET_TEST_DATA) + "/golden/" + name + ".ras.xz > " + out;
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("cannot decompress: " + cmd);
    return read_file(out);
}

RasterPage page(unsigned w, unsigned h, Fill fill, unsigned dpi, const std::function<void(cups_page_header2_t &)> &edit)
{
    RasterPage p = make_page(w, h, fill, dpi, dpi, w ^ h);
    edit(p.header);
    return p;
}

// Synthetic jobs: every setting, sizes around every boundary, and broken input.
std::vector<uint8_t> synthetic(const std::string &name)
{
    auto none = [](cups_page_header2_t &) {};
    if (name == "settings") {
        std::vector<RasterPage> pages;
        unsigned lengths[] = {540, 595, 624, 649, 729, 756, 792, 842, 1008};
        for (unsigned i = 0; i < 9; i++)
            pages.push_back(page(700 + 37 * i, 300 + 50 * i, Fill::Stripes, 300, [&](cups_page_header2_t &h) {
                h.PageSize[1] = lengths[i];
                h.cupsMediaType = i;
                h.cupsCompression = i;
                h.NumCopies = i + 1;
                h.Duplex = i % 2 ? CUPS_TRUE : CUPS_FALSE;
                h.cupsInteger[0] = i % 3 == 1;
            }));
        return raster_bytes(pages);
    }
    if (name == "cut")
        return raster_bytes({page(4960, 7016, Fill::Noise, 600, none), page(2500, 3600, Fill::Stripes, 300, none),
                             page(9920, 300, Fill::Noise, 1200, [](auto &h) { h.cupsInteger[0] = 1; }),
                             page(2000, 14100, Fill::Stripes, 1200, none), page(1, 1, Fill::Black, 600, none),
                             page(33, 0, Fill::Black, 600, none), page(4957, 100, Fill::Black, 600, none),
                             page(101, 257, Fill::Noise, 360, none), page(255, 513, Fill::Black, 75, none)});
    if (name == "truncated") {
        std::vector<uint8_t> bytes = raster_bytes({page(800, 600, Fill::Noise, 600, none)}, false);
        bytes.resize(bytes.size() - 100 * 100 - 37);
        return bytes;
    }
    if (name == "refused")
        return raster_bytes({page(800, 300, Fill::Noise, 600, none),
                             page(800, 300, Fill::Noise, 600, [](auto &h) { h.cupsBitsPerPixel = 8; })});
    throw std::runtime_error("no such job " + name);
}

struct GoldenCase {
    const char *name;
    bool rendered;  // a sample ghostscript rendered (tests/data/golden), else a synthetic job
    int status;
    const char *stream;
    const char *status_lines;
};

class Golden : public testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, StreamAndStatusLinesAreUnchanged)
{
    const GoldenCase &c = GetParam();
    std::vector<uint8_t> input = c.rendered ? rendered(c.name) : synthetic(c.name);
    RunResult r = run_filter({filter_args()}, input);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(digest(without_time(r.out)), c.stream);
    EXPECT_EQ(digest({reinterpret_cast<const uint8_t *>(r.err.data()), r.err.size()}), c.status_lines) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, Golden,
    testing::Values(GoldenCase{"letter_300", true, 0, "68a4698f4307c558", "ada3a98922e8cb3d"},
                    GoldenCase{"letter_600", true, 0, "6ce3155898a6c95a", "755ccb5c96f9cc5e"},
                    GoldenCase{"letter_1200", true, 0, "9abc08fb6ddae2c1", "48c11c09dee19aff"},
                    GoldenCase{"shapes_300", true, 0, "b64390a82270050d", "8570d904e52acb8b"},
                    GoldenCase{"shapes_600", true, 0, "17a2a63baa98a2c5", "8f067017ccb3abd0"},
                    GoldenCase{"shapes_1200", true, 0, "869f85ce82811e08", "4f00c7a92672c4f5"},
                    GoldenCase{"brochure_600", true, 0, "1f83858539c93f67", "5fb842e7fcef5f91"},
                    GoldenCase{"lineart_1200", true, 0, "0a4a3be7165d1a8c", "48c11c09dee19aff"},
                    GoldenCase{"settings", false, 0, "89cb3bb94c67c803", "397e26a93a2b6286"},
                    GoldenCase{"cut", false, 0, "8cccb9a50f879dcd", "395df51089855652"},
                    GoldenCase{"truncated", false, 0, "f1e99e76a1c2efeb", "4b5736d8dfdb0f1e"},
                    GoldenCase{"refused", false, 1, "58bd550bfd79d701", "79ab704eeeadb109"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
