// The compressed-data chain and the bands: each band decodes back to the rows
// it was made from, with the record fields the printer reads.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "capture.h"
#include "filter.h"
#include "stream.h"

using namespace quillet::test;

namespace {

struct ChainCase {
    std::vector<size_t> pieces;     // lengths given to output_jbig, the first being the BIH
    std::vector<size_t> elements;   // lengths of the elements of the finished chain
};

class Chain : public testing::TestWithParam<ChainCase> {};

TEST_P(Chain, CollectsPiecesInFixedBlocks)
{
    const ChainCase &c = GetParam();
    BIE_CHAIN *chain = nullptr;
    std::vector<uint8_t> all;
    uint8_t next = 0;
    for (size_t len : c.pieces) {
        std::vector<uint8_t> piece(len);
        for (auto &b : piece)
            b = next++;
        all.insert(all.end(), piece.begin(), piece.end());
        output_jbig(piece.data(), piece.size(), &chain);
    }
    std::vector<size_t> lengths;
    std::vector<uint8_t> stored;
    for (BIE_CHAIN *e = chain; e; e = e->next) {
        lengths.push_back(e->len);
        EXPECT_EQ(e->data == nullptr, e->len == 0);
        if (e->len)
            stored.insert(stored.end(), e->data, e->data + e->len);
    }
    EXPECT_EQ(lengths, c.elements);
    EXPECT_EQ(stored, all);
    free_chain(chain);
}

INSTANTIATE_TEST_SUITE_P(Pieces, Chain,
                         testing::Values(ChainCase{{20}, {20, 0}}, ChainCase{{20, 0}, {20, 0}},
                                         ChainCase{{20, 40000, 30000}, {20, 65536, 4464}},
                                         ChainCase{{20, 65536}, {20, 65536, 0}},
                                         ChainCase{{20, 65535, 1, 0}, {20, 65536, 0}},
                                         ChainCase{{20, 131077}, {20, 65536, 65536, 5}},
                                         ChainCase{{20, 1, 2, 3}, {20, 6}}));

TEST(Chain, FreeingNothingIsFine)
{
    free_chain(nullptr);
}

class ChainFirstPiece : public testing::TestWithParam<size_t> {};

TEST_P(ChainFirstPiece, MustBeTheTwentyByteBih)
{
    size_t len = GetParam();
    EXPECT_EXIT(
        {
            BIE_CHAIN *chain = nullptr;
            unsigned char piece[32] = {};
            output_jbig(piece, len, &chain);
            exit(0);
        },
        testing::ExitedWithCode(1), "First chunk must be BIH and 20 bytes long");
}

INSTANTIATE_TEST_SUITE_P(Lengths, ChainFirstPiece, testing::Values(0, 19, 21));

// An image of h rows of (w + 7) / 8 bytes.
std::vector<uint8_t> image(int w, int h, const std::string &fill, uint32_t seed = 7)
{
    size_t bpl = size_t(w + 7) / 8;
    std::vector<uint8_t> bits(bpl * size_t(h), 0);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bits.size(); i++) {
        if (fill == "black")
            bits[i] = 0xFF;
        else if (fill == "noise")
            bits[i] = uint8_t(rng());
        else if (fill == "text")
            bits[i] = (i / bpl) % 24 < 14 && (i % bpl) % 6 < 4 ? uint8_t(rng() & rng()) : 0;
    }
    return bits;
}

// The visible pixels of an image: bits beyond the width cleared.
std::vector<uint8_t> visible(std::vector<uint8_t> bits, int w)
{
    size_t bpl = size_t(w + 7) / 8;
    if (w % 8)
        for (size_t i = bpl - 1; i < bits.size(); i += bpl)
            bits[i] &= uint8_t(0xFF << (8 - w % 8));
    return bits;
}

struct BandCase {
    int w, h;
    const char *fill;
};

class Bands : public testing::TestWithParam<BandCase> {};

TEST_P(Bands, RoundTripAndRecordFields)
{
    const BandCase &c = GetParam();
    auto bits = image(c.w, c.h, c.fill);
    auto want = visible(bits, c.w);
    auto out = capture([&](FILE *fp) { write_bands(bits.data(), c.w, c.h, fp); });
    auto records = split_records(out);
    ASSERT_EQ(records.size(), size_t((c.h + 255) / 256));

    std::vector<uint8_t> decoded;
    for (size_t i = 0; i < records.size(); i++) {
        const Record &r = records[i];
        OAK_IMAGE_DATA rec;
        oak_unpack_image_data(r.body.data(), rec);
        unsigned rows = unsigned(std::min(256, c.h - int(i) * 256));
        EXPECT_EQ(r.type, 60u);
        EXPECT_EQ(r.len, 64u);
        EXPECT_EQ(rec.y, i * 256);
        EXPECT_EQ(rec.bih.opt1, 0x00010000u);  // 00 00 01 00
        EXPECT_EQ(rec.bih.xd, unsigned(c.w));
        EXPECT_EQ(rec.bih.yd, rows);
        EXPECT_EQ(rec.bih.l0, rows);
        EXPECT_EQ(rec.bih.opt2, 0x58030010u);  // 10 00 03 58
        EXPECT_EQ(rec.padlen, (rec.datalen + 15) & ~15u);
        EXPECT_EQ(rec.reserved, 0u);
        EXPECT_EQ(rec.plane, 3u);
        EXPECT_EQ(rec.subplane, 0u);
        ASSERT_GE(rec.datalen, 2u);
        // The data ends with the stripe's SDNORM marker, or with an ATMOVE
        // segment right behind it.
        const uint8_t *end = r.data.data() + rec.datalen;
        bool sdnorm = end[-2] == 0xFF && end[-1] == 0x02;
        bool atmove = rec.datalen >= 10 && end[-10] == 0xFF && end[-9] == 0x02 && end[-8] == 0xFF && end[-7] == 0x06;
        EXPECT_TRUE(sdnorm || atmove);
        Bitmap band = decode_band(rec, r.data);
        EXPECT_EQ(band.h, rows);
        decoded.insert(decoded.end(), band.bits.begin(), band.bits.end());
    }
    EXPECT_EQ(decoded, want);
}

INSTANTIATE_TEST_SUITE_P(Images, Bands,
                         testing::Values(BandCase{32, 0, "noise"}, BandCase{32, 1, "black"},
                                         BandCase{64, 256, "noise"}, BandCase{64, 257, "noise"},
                                         BandCase{128, 600, "text"}, BandCase{4832, 600, "blank"},
                                         BandCase{4832, 300, "black"}, BandCase{600, 256, "noise"},
                                         BandCase{33, 300, "noise"}, BandCase{1, 5, "black"},
                                         BandCase{4957, 512, "text"}));

TEST(Bands, BihOfAFullBandSixHundredWide)
{
    auto bits = image(600, 256, "text");
    auto out = capture([&](FILE *fp) { write_bands(bits.data(), 600, 256, fp); });
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 12, out.begin() + 32),
              hex("00 00 01 00 58 02 00 00 00 01 00 00 00 01 00 00 10 00 03 58"));
}

TEST(Bands, BitsBeyondTheWidthDoNotChangeTheData)
{
    auto clean = visible(image(33, 40, "noise"), 33);
    auto dirty = clean;
    for (size_t i = 4; i < dirty.size(); i += 5)
        dirty[i] |= 0x7F;
    auto a = capture([&](FILE *fp) { write_bands(clean.data(), 33, 40, fp); });
    auto b = capture([&](FILE *fp) { write_bands(dirty.data(), 33, 40, fp); });
    EXPECT_EQ(a, b);
}

// Size after the BIH of one 256-row band: the first `noisy` bytes of noise,
// then the byte `last`, then blank.
std::vector<uint8_t> cut_noise(std::vector<uint8_t> bits, size_t noisy, uint8_t last)
{
    std::fill(bits.begin() + long(noisy), bits.end(), 0);
    bits[noisy] = last;
    return bits;
}

size_t band_data_size(const std::vector<uint8_t> &bits, int w)
{
    auto out = capture([&](FILE *fp) { write_bands(const_cast<uint8_t *>(bits.data()), w, 256, fp); });
    OAK_IMAGE_DATA rec;
    oak_unpack_image_data(out.data() + 12, rec);
    return rec.datalen;
}

TEST(Bands, DataOfExactlyOneChainElement)
{
    // Find a band whose compressed data after the BIH is exactly 65536
    // bytes: the chain then ends with an empty element, which must be passed
    // over without a write.  The size grows with the noisy part in steps of
    // a byte or two; the byte after it fills the gaps.
    const int w = 2560;
    auto noise = image(w, 256, "noise", 11);
    size_t lo = 0, hi = noise.size() - 1;
    while (lo + 1 < hi) {
        size_t mid = (lo + hi) / 2;
        (band_data_size(cut_noise(noise, mid, 0), w) < 65536 ? lo : hi) = mid;
    }
    std::vector<uint8_t> band;
    for (size_t n = lo > 4 ? lo - 4 : 0; n <= hi + 4 && band.empty(); n++)
        for (int last = 0; last < 256 && band.empty(); last++)
            if (band_data_size(cut_noise(noise, n, uint8_t(last)), w) == 65536)
                band = cut_noise(noise, n, uint8_t(last));
    ASSERT_FALSE(band.empty()) << "no band of exactly 65536 bytes near " << lo;
    noise = band;

    auto out = capture([&](FILE *fp) {
        write_bands(noise.data(), w, 256, fp);
        oak_record(fp, OAK_TYPE_END_IMAGE, nullptr, 0);
    });
    auto records = split_records(out);
    ASSERT_EQ(records.size(), 2u);
    OAK_IMAGE_DATA rec;
    oak_unpack_image_data(records[0].body.data(), rec);
    EXPECT_EQ(rec.datalen, 65536u);
    EXPECT_EQ(rec.padlen, 65536u);
    EXPECT_EQ(out.size(), 64u + 65536u + 16u);
    EXPECT_EQ(decode_band(rec, records[0].data).bits, noise);
}

}  // namespace
