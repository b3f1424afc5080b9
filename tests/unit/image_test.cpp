// Mirroring and clipping of the page image, checked on the decoded bands.
#include <gtest/gtest.h>

#include "capture.h"
#include "filter.h"
#include "raster.h"
#include "stream.h"

using namespace quillet::test;

namespace {

TEST(Mirror1, EveryEntryIsItsBitsReversed)
{
    for (unsigned i = 0; i < 256; i++) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; bit++)
            if (i & (1u << bit))
                reversed |= 0x80u >> bit;
        EXPECT_EQ(Mirror1[i], reversed) << "entry " << i;
    }
}

TEST(MirrorBytes, RowsOfEvenAndOddLength)
{
    const std::pair<std::string, std::string> table[] = {
        {"C0 00 00 0F", "F0 00 00 03"},
        {"01 02 03", "C0 40 80"},
        {"01", "80"},
        {"80 00", "00 01"},
        {"12 34 56 78 9A", "59 1E 6A 2C 48"},
    };
    for (const auto &[in, want] : table) {
        auto row = hex(in);
        mirror_bytes(row.data(), int(row.size()), Mirror1);
        EXPECT_EQ(row, hex(want)) << in;
    }
}

std::vector<PageDoc> pages_of(const std::vector<uint8_t> &page_document)
{
    // pbm_pages writes the page records only; frame them as a page document.
    auto doc = capture([&](FILE *fp) {
        start_doc(fp);
        fwrite(page_document.data(), 1, page_document.size(), fp);
        oak_record(fp, OAK_TYPE_END_DOC, nullptr, 0);
    });
    return read_pages(doc);
}

// Runs a page buffer through pbm_pages with the settings of header.
PageDoc print_buffer(cups_page_header2_t h, std::vector<uint8_t> buffer)
{
    reset_page_settings();
    StartPage(nullptr, &h);
    int rawW = int((h.cupsWidth + 31) & ~31u);
    auto out = capture([&](FILE *fp) { pbm_pages(buffer.data(), rawW, rawW / 8, int(h.cupsHeight), fp); });
    auto pages = pages_of(out);
    EXPECT_EQ(pages.size(), 1u);
    return pages.at(0);
}

bool pixel(const Bitmap &b, unsigned x, unsigned y)
{
    return (b.bits[size_t(y) * b.bpl() + x / 8] >> (7 - x % 8)) & 1;
}

TEST(Mirror, FillColumnsMoveToTheLeftEdge)
{
    // 4900 pixels in a buffer 4928 wide: the image's last column is 4899.
    cups_page_header2_t h = make_header(4900, 300);
    h.cupsInteger[0] = 1;
    std::vector<uint8_t> buffer(616 * 300, 0);
    for (unsigned y = 0; y < 300; y++) {
        buffer[y * 616 + 4899 / 8] |= uint8_t(0x80 >> (4899 % 8));
        buffer[y * 616] |= 0x80;  // column 0
    }
    PageDoc page = print_buffer(h, buffer);
    ASSERT_EQ(page.image.w, 4928u);
    for (unsigned y : {0u, 299u}) {
        for (unsigned x = 0; x < 28; x++)
            EXPECT_FALSE(pixel(page.image, x, y)) << x;
        EXPECT_TRUE(pixel(page.image, 28, y));
        EXPECT_TRUE(pixel(page.image, 4927, y));
    }
}

TEST(Clip, KeepsTheTopLeftCorner)
{
    // Each row holds its row number in its first two bytes and a mark in
    // the last byte that the clipped width drops.
    cups_page_header2_t h = make_header(4958, 7016);
    std::vector<uint8_t> buffer(size_t(620) * 7016, 0);
    for (unsigned y = 0; y < 7016; y++) {
        buffer[y * 620] = uint8_t(y >> 8);
        buffer[y * 620 + 1] = uint8_t(y);
        buffer[y * 620 + 619] = 0xFF;
    }
    PageDoc page = print_buffer(h, buffer);
    ASSERT_EQ(page.image.w, 4832u);
    ASSERT_EQ(page.image.h, 6872u);
    EXPECT_EQ(page.paper.w1200, 9664u);
    EXPECT_EQ(page.paper.h1200, 13744u);
    for (unsigned y = 0; y < 6872; y++) {
        const uint8_t *row = page.image.bits.data() + size_t(y) * 604;
        ASSERT_EQ(row[0], uint8_t(y >> 8));
        ASSERT_EQ(row[1], uint8_t(y));
        ASSERT_EQ(row[603], 0);
    }
}

TEST(Clip, MirroredCopyLeavesThePageBufferAlone)
{
    cups_page_header2_t h = make_header(4958, 7016);
    h.cupsInteger[0] = 1;
    std::vector<uint8_t> buffer(size_t(620) * 7016, 0);
    for (unsigned y = 0; y < 7016; y++)
        buffer[y * 620] = 0xC0;  // columns 0 and 1
    reset_page_settings();
    StartPage(nullptr, &h);
    auto before = buffer;
    auto out = capture([&](FILE *fp) { pbm_pages(buffer.data(), 4960, 620, 7016, fp); });
    EXPECT_EQ(buffer, before);
    PageDoc page = pages_of(out).at(0);
    EXPECT_TRUE(pixel(page.image, 4831, 0));
    EXPECT_TRUE(pixel(page.image, 4830, 6871));
    EXPECT_FALSE(pixel(page.image, 4829, 100));
}

}  // namespace
