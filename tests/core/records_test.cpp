// The record frame, the document records and the page records, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "band_encoder.h"
#include "page_document.h"
#include "capture.h"
#include "record_writer.h"
#include "stream.h"

using namespace quillet;
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
    MemorySink sink;
    RecordWriter writer(sink);
    payload.resize(size_t(c.paylen));
    writer.record(uint32_t(c.type), payload);
    const std::vector<uint8_t> &out = sink.bytes();
    EXPECT_EQ(out, concat({header_bytes(c.len, uint32_t(c.type)), payload, text_bytes(c.filler)}));
    EXPECT_EQ(out.size() % 16, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryPayloadSize, RecordFrame,
                         testing::Values(FrameCase{11, 0, 16, "PAD_"}, FrameCase{24, 2, 16, "PA"},
                                         FrameCase{40, 4, 16, ""}, FrameCase{15, 8, 32, "PAD_PAD_PAD_"},
                                         FrameCase{43, 16, 32, "PAD_"}, FrameCase{51, 44, 64, "PAD_PAD_"},
                                         FrameCase{12, 48, 64, "PAD_"}, FrameCase{10, 64, 80, "PAD_"},
                                         FrameCase{13, 66, 80, "PA"}, FrameCase{41, 68, 80, ""},
                                         FrameCase{99, 17, 32, "PAD"}));

// A sink with room for a number of bytes; a write that does not fit fails.
class SmallSink : public ByteSink {
public:
    explicit SmallSink(size_t room) : room_(room) {}
    bool write(std::span<const uint8_t> bytes) override
    {
        if (bytes.size() > room_)
            return false;
        room_ -= bytes.size();
        taken_.insert(taken_.end(), bytes.begin(), bytes.end());
        return true;
    }
    size_t room_;
    std::vector<uint8_t> taken_;
};

// A stream that does not take a write names the step that failed, and
// nothing is written after it.
TEST(RecordWriter, FirstFailedWriteIsKeptAndEndsWriting)
{
    const std::pair<size_t, WriteStep> table[] = {
        {0, WriteStep::record_header},   {11, WriteStep::record_header}, {12, WriteStep::record_payload},
        {77, WriteStep::record_payload}, {78, WriteStep::record_filler}, {79, WriteStep::record_filler}};
    for (auto [room, step] : table) {
        SmallSink sink(room);
        RecordWriter writer(sink);
        std::vector<uint8_t> payload(66);
        writer.record(record_type::other, payload);
        sink.room_ = 1000;
        writer.record(record_type::end_document);
        EXPECT_EQ(writer.failed_step(), step) << room;
        EXPECT_FALSE(writer.flush());
        EXPECT_LE(sink.taken_.size(), room);
    }
    for (auto [room, step] : {std::pair<size_t, WriteStep>{64 + 0x10000 - 1, WriteStep::band_data},
                              {64 + 0x10001, WriteStep::band_filler}}) {
        SmallSink sink(room);
        RecordWriter writer(sink);
        EncodedBand band;
        band.data.assign(0x10001, 1);
        band.record.data_length = 0x10001;
        band.record.padded_length = 0x10010;
        write_band(writer, band);
        EXPECT_EQ(writer.failed_step(), step) << room;
    }
}

TEST(DocumentRecords, FourRecordsCarryingTheGivenDuplex)
{
    for (uint32_t duplex : {0u, 1u}) {
        MemorySink sink;
        RecordWriter writer(sink);
        write_document_start(writer, duplex, 0);
        const std::vector<uint8_t> &out = sink.bytes();
        ASSERT_EQ(out.size(), 256u);
        std::vector<uint8_t> other(out.begin(), out.begin() + 80);
        std::vector<uint8_t> name(out.begin() + 144, out.begin() + 224);
        std::vector<uint8_t> dup(out.begin() + 224, out.end());
        EXPECT_EQ(other, concat({header_bytes(80, 13), hex("01 00 4F 54 48 45 52"), std::vector<uint8_t>(59, 0),
                                 text_bytes("PA")}));
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 80, out.begin() + 92), header_bytes(64, 12));
        EXPECT_EQ(name, concat({header_bytes(80, 10), hex("73 74 64 69 6E"), std::vector<uint8_t>(59, 0),
                                text_bytes("PAD_")}));
        EXPECT_EQ(dup, concat({header_bytes(32, 15), le32(duplex), le32(0), text_bytes("PAD_PAD_PAD_")}));
    }
    MemorySink sink;
    RecordWriter writer(sink);
    write_document_end(writer);
    EXPECT_EQ(sink.bytes(), hex("4F 41 4B 54 10 00 00 00 0B 00 00 00 50 41 44 5F"));
}

class ClockRecord : public testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "JST-9", 1);
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

TEST_F(ClockRecord, DecemberDayBelowTenInLocalTime)
{
    // 2026-12-07 00:05:03 UTC, 09:05:03 in Tokyo
    const time_t stamp = 1796601903;
    TimeRecord rec = time_record(stamp);
    unsigned char bytes[payload_size<TimeRecord>];
    pack(bytes, rec);

    std::vector<uint8_t> text(bytes, bytes + 32);
    EXPECT_EQ(text, concat({text_bytes("Mon Dec  7 09:05:03 2026\n"), std::vector<uint8_t>(7, 0)}));
    EXPECT_EQ(std::vector<uint8_t>(bytes + 32, bytes + 48),
              concat({le32(uint32_t(stamp)), hex("EA 07 0B 00 07 00 09 00 05 00 03 00")}));
}

TEST_F(ClockRecord, ClockOutsideTheCalendarLeavesWhatCannotBeRenderedZero)
{
    // ctime gives up after year 9999 (leaving a text without its newline in
    // its buffer), localtime far later.
    const struct {
        time_t stamp;
        const char *text;
        unsigned year;
    } table[] = {{time_t(-1), "Thu Jan  1 08:59:59 1970\n", 1970},
                 {time_t(253402300800LL), "", 10000},
                 {time_t(1LL << 60), "", 0}};
    for (const auto &row : table) {
        TimeRecord rec = time_record(row.stamp);
        EXPECT_EQ(std::string(rec.text.data(), rec.text.size()),
                  std::string(row.text) + std::string(rec.text.size() - strlen(row.text), '\0'))
            << row.stamp;
        EXPECT_EQ(rec.year, row.year) << row.stamp;
        EXPECT_EQ(rec.seconds, uint32_t(uint64_t(row.stamp)));
    }
}

// The page records and bands of a blank page, through the core.
std::vector<Record> page_records(unsigned width, unsigned height, unsigned length)
{
    PrintSettings settings;
    settings.length_points = length;
    PagePlan plan = *plan_page(settings, one_bit_rows(width, height), 1).plan;
    MemorySink sink;
    RecordWriter writer(sink);
    BandEncoder encoder(1);
    EXPECT_FALSE(PageDocument(writer, encoder, plan, 0).close());
    // Without the document's four records and its end.
    std::vector<Record> records = split_records(sink.bytes());
    return {records.begin() + 4, records.end() - 1};
}

std::vector<uint8_t> payload(const Record &r, size_t size)
{
    return {r.body.begin(), r.body.begin() + long(size)};
}

TEST(PageRecords, WorkedExampleClippedA4)
{
    auto records = page_records(4960, 7016, 842);
    ASSERT_EQ(records.size(), 7u + 27u + 2u);
    std::vector<uint32_t> head;
    for (size_t i = 0; i < 7; i++)
        head.push_back(records[i].type);
    EXPECT_EQ(head, (std::vector<uint32_t>{20, 40, 41, 42, 43, 51, 21}));
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
        BandRecord rec;
        unpack(r.body.data(), rec);
        EXPECT_EQ(rec.first_row, b * 256);
        Bih bih;
        unpack(rec.bih.data(), bih);
        EXPECT_EQ(bih.height, b < 26 ? 256u : 216u);
        EXPECT_EQ(bih.width, 4832u);
    }
    EXPECT_EQ(records[34].type, 23u);
    EXPECT_EQ(records[35].body, concat({hex("00 00"), text_bytes("PA")}));
}

TEST(PageRecords, WorkedExampleA5ThatFits)
{
    auto records = page_records(3500, 4958, 595);
    ASSERT_EQ(records.size(), 7u + 20u + 2u);
    EXPECT_EQ(payload(records[4], 16), hex("0B 00 00 00 58 1B 00 00 BC 26 00 00 00 00 00 00"));
    ImageRecord geometry;
    unpack(records[5].body.data(), geometry);
    EXPECT_EQ(geometry.left_offset, 1660u);
    EXPECT_EQ(geometry.top_offset, 236u);
    EXPECT_EQ(geometry.width, 3520u);
    EXPECT_EQ(geometry.height, 4958u);
    BandRecord last;
    unpack(records[7 + 19].body.data(), last);
    EXPECT_EQ(last.first_row, 19u * 256);
    Bih bih;
    unpack(last.bih.data(), bih);
    EXPECT_EQ(bih.height, 94u);
}

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
        PagePlan plan;
        plan.duplex = uint32_t(c.duplex);
        plan.copies = uint32_t(c.copies);
        plan.media = c.media;
        plan.density = c.density;
        MemorySink sink;
        RecordWriter writer(sink);
        write_page_start(writer, plan);
        auto records = split_records(sink.bytes());
        EXPECT_EQ(payload(records[3], 8), hex(c.copiesHex));
        EXPECT_EQ(records[2].body[0], c.mediaByte);
        EXPECT_EQ(records[2].body[1], c.density);
    }
}

}  // namespace
