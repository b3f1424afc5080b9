// The tests read the filter's output through oaktdump's reader, so that the
// same checks and the same decoder stand behind every round trip.
#include "stream.h"


namespace quillet::test {

std::vector<uint32_t> PageDoc::types() const
{
    std::vector<uint32_t> t;
    for (const Record &r : records)
        t.push_back(r.type);
    return t;
}

namespace {

Record to_record(std::span<const uint8_t> stream, const quillet::Frame &f)
{
    Record r;
    r.offset = f.offset;
    r.len = f.hdr.length;
    r.type = f.hdr.type;
    r.body.assign(stream.begin() + long(f.offset) + record_header_size, stream.begin() + long(f.offset + f.hdr.length));
    if (f.hdr.type == record_type::band) {
        BandRecord rec;
        unpack(f.payload.data(), rec);
        auto start = stream.begin() + long(f.offset + f.hdr.length);
        r.data.assign(start, start + rec.padded_length);
    }
    return r;
}

class Collect : public quillet::StreamListener {
public:
    explicit Collect(std::span<const uint8_t> stream) : stream_(stream) {}

    void record(const quillet::Frame &f, const quillet::PageDoc &) override { current_.records.push_back(to_record(stream_, f)); }
    void rows(const quillet::PageDoc &, const BandRecord &, std::span<const uint8_t> bits) override
    {
        current_.image.bits.insert(current_.image.bits.end(), bits.begin(), bits.end());
    }
    void page_end(const quillet::PageDoc &doc) override
    {
        PageDoc &p = current_;
        static_cast<quillet::PageDoc &>(p) = doc;
        p.image.w = doc.geometry.width;
        p.image.h = doc.geometry.height;
        pages.push_back(std::move(p));
        current_ = PageDoc{};
    }

    std::vector<PageDoc> pages;

private:
    std::span<const uint8_t> stream_;
    PageDoc current_;
};

}  // namespace

std::vector<Record> split_records(std::span<const uint8_t> stream)
{
    quillet::Frames split = quillet::split_frames(stream);
    if (split.violation)
        throw StreamError(split.violation->message());
    std::vector<Record> records;
    for (const quillet::Frame &f : split.frames)
        records.push_back(to_record(stream, f));
    return records;
}

Bitmap decode_band(const BandRecord &rec, std::span<const uint8_t> data)
{
    quillet::DecodedBand band = quillet::decode_band(rec, data.first(rec.data_length));
    if (!band.error.empty())
        throw StreamError("band does not decode: " + band.error);
    return Bitmap{unsigned(band.width), unsigned(band.height), std::move(band.bits)};
}

std::vector<PageDoc> read_pages(std::span<const uint8_t> stream)
{
    Collect collect(stream);
    if (auto violation = quillet::read_stream(stream, collect))
        throw StreamError(violation->message());
    return collect.pages;
}

}  // namespace quillet::test
