// The tests read the filter's output through oaktdump's reader, so that the
// same checks and the same decoder stand behind every round trip.
#include "stream.h"


namespace quillet::test {

std::vector<DWORD> PageDoc::types() const
{
    std::vector<DWORD> t;
    for (const Record &r : records)
        t.push_back(r.type);
    return t;
}

namespace {

Record to_record(std::span<const uint8_t> stream, const oakt::Frame &f)
{
    Record r;
    r.offset = f.offset;
    r.len = f.hdr.len;
    r.type = f.hdr.type;
    r.body.assign(stream.begin() + long(f.offset) + OAK_HDR_SIZE, stream.begin() + long(f.offset + f.hdr.len));
    if (f.hdr.type == OAK_TYPE_IMAGE_DATA) {
        OAK_IMAGE_DATA rec;
        oak_unpack_image_data(f.payload.data(), rec);
        auto start = stream.begin() + long(f.offset + f.hdr.len);
        r.data.assign(start, start + rec.padlen);
    }
    return r;
}

class Collect : public oakt::StreamListener {
public:
    explicit Collect(std::span<const uint8_t> stream) : stream_(stream) {}

    void record(const oakt::Frame &f, const oakt::PageDoc &) override { current_.records.push_back(to_record(stream_, f)); }
    void rows(const oakt::PageDoc &, const OAK_IMAGE_DATA &, std::span<const uint8_t> bits) override
    {
        current_.image.bits.insert(current_.image.bits.end(), bits.begin(), bits.end());
    }
    void page_end(const oakt::PageDoc &doc) override
    {
        PageDoc &p = current_;
        static_cast<oakt::PageDoc &>(p) = doc;
        p.image.w = doc.mono.plane.w;
        p.image.h = doc.mono.plane.h;
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
    oakt::Frames split = oakt::split_frames(stream);
    if (split.violation)
        throw StreamError(split.violation->message());
    std::vector<Record> records;
    for (const oakt::Frame &f : split.frames)
        records.push_back(to_record(stream, f));
    return records;
}

Bitmap decode_band(const OAK_IMAGE_DATA &rec, std::span<const uint8_t> data)
{
    oakt::DecodedBand band = oakt::decode_band(rec, data.first(rec.datalen));
    if (!band.error.empty())
        throw StreamError("band does not decode: " + band.error);
    return Bitmap{unsigned(band.width), unsigned(band.height), std::move(band.bits)};
}

std::vector<PageDoc> read_pages(std::span<const uint8_t> stream)
{
    Collect collect(stream);
    if (auto violation = oakt::read_stream(stream, collect))
        throw StreamError(violation->message());
    return collect.pages;
}

}  // namespace quillet::test
