// The record frame, the document records and the page records, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "capture.h"
#include "filter.h"
#include "raster.h"
#include "stream.h"

using namespace quillet::test;

namespace {

std::vector<uint8_t> le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::vector<uint8_t> header_bytes(uint32_t len, uint32_t type)
{
    return concat({text_bytes("OAKT"), le32(len), le32(type)});
}

struct FrameCase {
    int type;
    int paylen;
    bool null_payload;
    uint32_t len;
    std::string filler;
};

class RecordFrame : public testing::TestWithParam<FrameCase> {};

TEST_P(RecordFrame, HeaderPayloadAndFiller)
{
    const FrameCase &c = GetParam();
    std::vector<uint8_t> payload(size_t(c.paylen) + 1);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = uint8_t(0xA0 + i);
    auto out = capture([&](FILE *fp) { oak_record(fp, c.type, c.null_payload ? nullptr : payload.data(), c.paylen); });
    payload.resize(size_t(c.paylen));
    EXPECT_EQ(out, concat({header_bytes(c.len, uint32_t(c.type)), payload, text_bytes(c.filler)}));
    EXPECT_EQ(out.size() % 16, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryPayloadSize, RecordFrame,
                         testing::Values(FrameCase{11, 0, true, 16, "PAD_"}, FrameCase{20, 0, false, 16, "PAD_"},
                                         FrameCase{24, 2, false, 16, "PA"}, FrameCase{40, 4, false, 16, ""},
                                         FrameCase{15, 8, false, 32, "PAD_PAD_PAD_"},
                                         FrameCase{43, 16, false, 32, "PAD_"}, FrameCase{51, 44, false, 64, "PAD_PAD_"},
                                         FrameCase{12, 48, false, 64, "PAD_"}, FrameCase{10, 64, false, 80, "PAD_"},
                                         FrameCase{13, 66, false, 80, "PA"}, FrameCase{41, 68, false, 80, ""},
                                         FrameCase{99, 17, false, 32, "PAD"}));

TEST(RecordFrame, EndOfDocumentIsSixteenFixedBytes)
{
    auto out = capture([](FILE *fp) { oak_record(fp, OAK_TYPE_END_DOC, nullptr, 0); });
    EXPECT_EQ(out, hex("4F 41 4B 54 10 00 00 00 0B 00 00 00 50 41 44 5F"));
}

// A stream that takes fewer bytes than asked must stop the run, whichever
// part of the record is cut, never leave a corrupt record behind silently.
struct ShortWriteCase {
    size_t room;
    int paylen;
    const char *message;
};

class RecordShortWrite : public testing::TestWithParam<ShortWriteCase> {};

TEST_P(RecordShortWrite, IsFatal)
{
    const ShortWriteCase &c = GetParam();
    EXPECT_EXIT(
        {
            static char room[256];
            FILE *fp = fmemopen(room, c.room, "w");
            setvbuf(fp, nullptr, _IONBF, 0);
            unsigned char payload[66] = {};
            oak_record(fp, OAK_TYPE_OTHER, payload, c.paylen);
            exit(0);
        },
        testing::ExitedWithCode(1), c.message);
}

INSTANTIATE_TEST_SUITE_P(EachWrite, RecordShortWrite,
                         testing::Values(ShortWriteCase{0, 66, "fwrite\\(1\\): rc == 0!"},
                                         ShortWriteCase{5, 66, "fwrite\\(1\\): rc == 0!"},
                                         ShortWriteCase{12, 66, "fwrite\\(2\\): rc == 0!"},
                                         ShortWriteCase{40, 66, "fwrite\\(2\\): rc == 0!"},
                                         ShortWriteCase{78, 66, "fwrite\\(3\\): rc == 0!"},
                                         ShortWriteCase{79, 66, "fwrite\\(3\\): rc == 0!"}));

TEST(DocumentRecords, FourRecordsWithThePreviousDuplex)
{
    for (int duplex : {0, 1}) {
        Duplex = duplex;
        auto out = capture([](FILE *fp) { start_doc(fp); });
        ASSERT_EQ(out.size(), 256u);
        std::vector<uint8_t> other(out.begin(), out.begin() + 80);
        std::vector<uint8_t> name(out.begin() + 144, out.begin() + 224);
        std::vector<uint8_t> dup(out.begin() + 224, out.end());
        EXPECT_EQ(other, concat({header_bytes(80, 13), hex("01 00 4F 54 48 45 52"), std::vector<uint8_t>(59, 0),
                                 text_bytes("PA")}));
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 80, out.begin() + 92), header_bytes(64, 12));
        EXPECT_EQ(name, concat({header_bytes(80, 10), hex("73 74 64 69 6E"), std::vector<uint8_t>(59, 0),
                                text_bytes("PAD_")}));
        EXPECT_EQ(dup, concat({header_bytes(32, 15), le32(uint32_t(duplex)), le32(0), text_bytes("PAD_PAD_PAD_")}));
    }
    Duplex = 0;
}

class TimeRecord : public testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved_;
};

TEST_F(TimeRecord, DecemberDayBelowTen)
{
    // 2026-12-07 09:05:03 UTC
    const time_t stamp = 1796634303;
    OAK_TIME rec;
    oak_time_fill(&rec, stamp);
    unsigned char bytes[OAK_TIME_SIZE];
    oak_pack_time(bytes, rec);

    std::vector<uint8_t> text(bytes, bytes + 32);
    EXPECT_EQ(text, concat({text_bytes("Mon Dec  7 09:05:03 2026\n"), std::vector<uint8_t>(7, 0)}));
    EXPECT_EQ(std::vector<uint8_t>(bytes + 32, bytes + 48),
              concat({le32(uint32_t(stamp)), hex("EA 07 0B 00 07 00 09 00 05 00 03 00")}));
}

TEST_F(TimeRecord, ClockOutsideTheCalendarStaysBounded)
{
    for (time_t stamp : {time_t(-1), time_t(253402300800LL) /* year 10000 */, time_t(1LL << 60)}) {
        OAK_TIME rec;
        memset(&rec, 0x55, sizeof rec);
        oak_time_fill(&rec, stamp);
        EXPECT_EQ(rec.datetime[31], 0);
        EXPECT_LT(strlen(rec.datetime), 32u);
        EXPECT_EQ(rec.seconds, uint32_t(uint64_t(stamp)));
    }
}

// Page settings for a page of the given header, as the page loop leaves them.
void take_header(const cups_page_header2_t &h)
{
    reset_page_settings();
    cups_page_header2_t copy = h;
    StartPage(nullptr, &copy);
}

std::vector<Record> page_records(unsigned width, unsigned height, unsigned length)
{
    cups_page_header2_t h = make_header(width, height);
    h.PageSize[1] = length;
    take_header(h);
    int rawW = int((width + 31) & ~31u);
    int rawBpl = rawW / 8;
    std::vector<uint8_t> image(size_t(rawBpl) * height, 0);
    auto out = capture([&](FILE *fp) { pbm_pages(image.data(), rawW, rawBpl, int(height), fp); });
    return split_records(out);
}

std::vector<uint8_t> payload(const Record &r, size_t size)
{
    return {r.body.begin(), r.body.begin() + long(size)};
}

TEST(PageRecords, WorkedExampleClippedA4)
{
    auto records = page_records(4960, 7016, 842);
    ASSERT_EQ(records.size(), 7u + 27u + 2u);
    std::vector<DWORD> head;
    for (size_t i = 0; i < 7; i++)
        head.push_back(records[i].type);
    EXPECT_EQ(head, (std::vector<DWORD>{20, 40, 41, 42, 43, 51, 21}));
    EXPECT_EQ(records[0].body, text_bytes("PAD_"));
    EXPECT_EQ(records[1].body, hex("07 00 00 00"));
    EXPECT_EQ(records[2].body, concat({hex("00 02 00 00 00"), std::vector<uint8_t>(63, 0x20)}));
    EXPECT_EQ(records[3].body, concat({hex("01 00 00 00 FF FF FF FF"), text_bytes("PAD_PAD_PAD_")}));
    EXPECT_EQ(records[4].body, concat({hex("09 00 00 00 C0 25 00 00 B0 35 00 00 00 00 00 00"), text_bytes("PAD_")}));
    EXPECT_EQ(records[5].body, concat({hex("48 01 00 00 EC 00 00 00 E0 12 00 00 D8 1A 00 00 58 02 00 00 58 02 00 00"
                                           "01 00 00 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"),
                                       text_bytes("PAD_PAD_")}));
    for (size_t b = 0; b < 27; b++) {
        const Record &r = records[7 + b];
        ASSERT_EQ(r.type, 60u);
        OAK_IMAGE_DATA rec;
        oak_unpack_image_data(r.body.data(), rec);
        EXPECT_EQ(rec.y, b * 256);
        EXPECT_EQ(rec.bih.yd, b < 26 ? 256u : 216u);
        EXPECT_EQ(rec.bih.xd, 4832u);
    }
    EXPECT_EQ(records[34].type, 23u);
    EXPECT_EQ(records[35].body, concat({hex("00 00"), text_bytes("PA")}));
    EXPECT_EQ(PageWidth, 4832);
    EXPECT_EQ(PageHeight, 6872);
}

TEST(PageRecords, WorkedExampleA5ThatFits)
{
    auto records = page_records(3500, 4958, 595);
    ASSERT_EQ(records.size(), 7u + 20u + 2u);
    EXPECT_EQ(payload(records[4], 16), hex("0B 00 00 00 58 1B 00 00 BC 26 00 00 00 00 00 00"));
    OAK_IMAGE_MONO mono;
    oak_unpack_image_mono(records[5].body.data(), mono);
    EXPECT_EQ(mono.plane.left_offset, 1660u);
    EXPECT_EQ(mono.plane.top_offset, 236u);
    EXPECT_EQ(mono.plane.w, 3520u);
    EXPECT_EQ(mono.plane.h, 4958u);
    OAK_IMAGE_DATA last;
    oak_unpack_image_data(records[7 + 19].body.data(), last);
    EXPECT_EQ(last.y, 19u * 256);
    EXPECT_EQ(last.bih.yd, 94u);
    EXPECT_EQ(PageWidth, 3500);
}

struct PlacementCase {
    int pageWidth, resX, pageHeight, resY;
    uint32_t w1200, h1200, offsetLeft;
};

// The records pbm_page writes, with the current page settings, for an image
// of 0 rows: the page records without a band.
std::vector<Record> records_without_image()
{
    unsigned char row[4] = {};
    return split_records(capture([&](FILE *fp) { pbm_page(row, 32, 0, fp); }));
}

class Placement : public testing::TestWithParam<PlacementCase> {};

TEST_P(Placement, OnTheA4Width)
{
    const PlacementCase &c = GetParam();
    reset_page_settings();
    PageWidth = c.pageWidth;
    ResX = c.resX;
    PageHeight = c.pageHeight;
    ResY = c.resY;
    auto records = records_without_image();
    ASSERT_EQ(records.size(), 9u);  // no band for a page of 0 rows
    OAK_PAPER paper;
    oak_unpack_paper(records[4].body.data(), paper);
    OAK_IMAGE_MONO mono;
    oak_unpack_image_mono(records[5].body.data(), mono);
    EXPECT_EQ(paper.w1200, c.w1200);
    EXPECT_EQ(paper.h1200, c.h1200);
    EXPECT_EQ(mono.plane.left_offset, c.offsetLeft);
    EXPECT_EQ(mono.plane.top_offset, 236u);
    EXPECT_EQ(mono.plane.nbits, 1u);
    EXPECT_EQ(records[6].type, 21u);
    EXPECT_EQ(records[7].type, 23u);
}

INSTANTIATE_TEST_SUITE_P(Widths, Placement,
                         testing::Values(PlacementCase{9920, 1200, 100, 1200, 9920, 100, 200},
                                         PlacementCase{4960, 600, 7016, 600, 9920, 14032, 200},
                                         PlacementCase{10318, 1200, 0, 1200, 10318, 0, 1},
                                         PlacementCase{10319, 1200, 0, 1200, 10319, 0, 1},
                                         PlacementCase{10320, 1200, 0, 1200, 10320, 0, 0},
                                         PlacementCase{10321, 1200, 0, 1200, 10321, 0, 0},
                                         PlacementCase{2000, 300, 3000, 300, 8000, 12000, 1160},
                                         PlacementCase{301, 600, 301, 600, 602, 602, 4859},
                                         PlacementCase{4956, 0, 7013, 600, 0, 14026, 5160},
                                         PlacementCase{4956, 600, 7013, 0, 9912, 0, 204}));

TEST(PageRecords, CopiesDuplexAndMedia)
{
    struct Case {
        int duplex, copies, media, density;
        const char *copiesHex;
        uint8_t mediaByte;
    };
    for (const Case &c : {Case{0, 1, 0, 2, "01 00 00 00 FF FF FF FF", 0x00},
                          Case{1, 3, 9, 4, "03 00 00 00 00 00 00 00", 0x09},
                          Case{2, 2, 300, 0, "02 00 00 00 01 00 00 00", 0x2C}}) {
        reset_page_settings();
        Duplex = c.duplex;
        Copies = c.copies;
        MediaCode = c.media;
        DensityLevel = c.density;
        auto records = records_without_image();
        EXPECT_EQ(payload(records[3], 8), hex(c.copiesHex));
        EXPECT_EQ(records[2].body[0], c.mediaByte);
        EXPECT_EQ(records[2].body[1], c.density);
    }
}

}  // namespace
