#include "oakt_reader.h"

#include <array>

#include "oakt_tables.h"
#include "page_sequence.h"

#include <algorithm>
#include <cstring>
#include <utility>

extern "C" {
#include <jbig.h>
}

namespace quillet {

namespace {

std::string hex_bytes(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        if (!s.empty())
            s += ' ';
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool is_filler(std::span<const uint8_t> bytes)
{
    for (size_t i = 0; i < bytes.size(); i++)
        if (bytes[i] != uint8_t(record_filler[i % 16]))
            return false;
    return true;
}

// What may come next, in words.
std::string expected(const RecordOrder &order)
{
    return order.expected() + (order.between_documents() ? ", which opens a page document" : "");
}

}  // namespace

std::string Violation::message() const
{
    return "offset " + std::to_string(offset) + ": " + rule + ": " + detail;
}

Frames split_frames(std::span<const uint8_t> stream)
{
    Frames out;
    uint64_t pos = 0;
    auto fail = [&](uint64_t offset, std::string rule, std::string detail) {
        out.violation = Violation{offset, std::move(rule), std::move(detail)};
        return out;
    };

    while (pos < stream.size()) {
        uint64_t left = stream.size() - pos;
        if (left < record_header_size)
            return fail(pos, "truncated",
                        "stream ends inside a record header (" + std::to_string(left) + " of 12 bytes)");
        Frame f;
        f.offset = pos;
        unpack(stream.data() + pos, f.hdr);
        if (f.hdr.magic != record_magic)
            return fail(pos, "magic", "bytes " + hex_bytes(stream.subspan(pos, 4)) + " where \"OAKT\" belongs");
        const std::optional<RecordKind> kind = record_kind(f.hdr.type);
        if (!kind)
            return fail(pos, "record type", "unknown record type " + std::to_string(f.hdr.type));
        const size_t payload = kind->payload_size;
        if (f.hdr.length % 16 != 0)
            return fail(pos, "16-byte alignment",
                        "record length " + std::to_string(f.hdr.length) + " is not a multiple of 16");
        uint32_t want = record_length(uint32_t(payload));
        if (f.hdr.length != want)
            return fail(pos, "length rule",
                        "record " + record_label(f.hdr.type) + " with " + std::to_string(payload) +
                            " payload bytes must be " + std::to_string(want) + " bytes long, not " +
                            std::to_string(f.hdr.length));
        if (left < f.hdr.length)
            return fail(pos, "truncated",
                        "stream ends inside record " + record_label(f.hdr.type) + " (" + std::to_string(left) +
                            " of " + std::to_string(f.hdr.length) + " bytes)");
        f.payload = stream.subspan(pos + record_header_size, payload);
        auto filler = stream.subspan(pos + record_header_size + payload, f.hdr.length - record_header_size - payload);
        if (!is_filler(filler))
            return fail(pos + record_header_size + payload, "filler",
                        "record filler reads " + hex_bytes(filler) + ", not the start of \"PAD_PAD_PAD_PAD_\"");
        pos += f.hdr.length;

        if (f.hdr.type == record_type::band) {
            BandRecord rec;
            unpack(f.payload.data(), rec);
            const uint64_t padlen = rec.padded_length, datalen = rec.data_length;
            if (padlen % 16 != 0)
                return fail(f.offset, "16-byte alignment",
                            "padlen " + std::to_string(padlen) + " is not a multiple of 16");
            if (padlen != ((datalen + 15) & ~uint64_t(15)))
                return fail(f.offset, "datalen/padlen",
                            "padlen " + std::to_string(padlen) + " does not pad datalen " +
                                std::to_string(datalen) + " to a multiple of 16");
            if (stream.size() - pos < padlen)
                return fail(pos, "truncated",
                            "stream ends inside band data (" + std::to_string(stream.size() - pos) + " of " +
                                std::to_string(padlen) + " bytes)");
            f.data = stream.subspan(pos, datalen);
            auto band_filler = stream.subspan(pos + datalen, padlen - datalen);
            if (!is_filler(band_filler))
                return fail(pos + datalen, "filler",
                            "band filler reads " + hex_bytes(band_filler) +
                                ", not the start of \"PAD_PAD_PAD_PAD_\"");
            pos += padlen;
        }
        out.frames.push_back(f);
    }
    return out;
}

DecodedBand decode_band(const BandRecord &rec, std::span<const uint8_t> data)
{
    DecodedBand out;
    Bih fields;
    unpack(rec.bih.data(), fields);
    // Back to the BIH as T.82 has it: XD, YD and L0 most significant byte first.
    std::array<uint8_t, payload_size<Bih>> bih = rec.bih;
    swap_bih_sizes(bih);

    jbg_dec_state dec;
    jbg_dec_init(&dec);
    jbg_dec_maxsize(&dec, fields.width, fields.height);
    size_t used = 0;
    int rc = jbg_dec_in(&dec, bih.data(), bih.size(), &used);
    if (rc == JBG_EAGAIN && !data.empty()) {
        // The decoder takes non-const data but does not change it.
        rc = jbg_dec_in(&dec, const_cast<unsigned char *>(data.data()), data.size(), &used);
    }
    if (rc != JBG_EOK) {
        out.error = rc == JBG_EAGAIN ? "band data ends before the band's last row" : jbg_strerror(rc);
    } else {
        out.width = jbg_dec_getwidth(&dec);
        out.height = jbg_dec_getheight(&dec);
        const unsigned char *img = jbg_dec_getimage(&dec, 0);
        out.bits.assign(img, img + jbg_dec_getsize(&dec));
    }
    jbg_dec_free(&dec);
    return out;
}

namespace {

// Checks the payload of one record against the fixed fields of its type and
// takes it into the page document.  Returns what is wrong, or an empty text.
std::string take_record(const Frame &f, PageDoc &doc)
{
    const uint8_t *p = f.payload.data();
    switch (f.hdr.type) {
    case record_type::other:
        unpack(p, doc.other);
        if (doc.other.kind != fixed::other.kind || doc.other.text != fixed::other.text)
            return "OTHER record must hold WORD 1 and the text \"OTHER\"";
        break;
    case record_type::time: unpack(p, doc.time); break;
    case record_type::file_name:
        unpack(p, doc.file_name);
        if (doc.file_name.name != fixed::file_name.name)
            return "FILENAME record must hold the text \"stdin\"";
        break;
    case record_type::duplex:
        unpack(p, doc.duplex);
        if (doc.duplex.short_edge != fixed::duplex_short_edge)
            return "DUPLEX record's short_edge must be 0";
        break;
    case record_type::start_page: doc.has_image = true; break;
    case record_type::source: {
        SourceRecord source;
        unpack(p, source);
        doc.source = source.source;
        break;
    }
    case record_type::media:
        unpack(p, doc.media);
        if (doc.media.reserved != fixed::media_reserved || doc.media.text != fixed::media_text)
            return "MEDIA record must end in two zero bytes, a zero byte and 63 spaces";
        break;
    case record_type::copies: unpack(p, doc.copies); break;
    case record_type::paper:
        unpack(p, doc.paper);
        if (doc.paper.reserved != fixed::paper_reserved)
            return "PAPER record's last DWORD must be 0";
        break;
    case record_type::image:
        unpack(p, doc.geometry);
        if (doc.geometry.bits_per_pixel != fixed::bits_per_pixel)
            return "IMAGE_MONO record must have 1 bit per pixel";
        if (doc.geometry.sequence != fixed::image_sequence)
            return "IMAGE_MONO record must end in the bytes 00 01 02 ... 0F";
        break;
    case record_type::end_page: {
        EndPageRecord end;
        unpack(p, end);
        if (end.reserved != fixed::end_page.reserved)
            return "END_PAGE record must hold WORD 0";
        break;
    }
    default: break;
    }
    return {};
}

}  // namespace

std::optional<Violation> read_stream(std::span<const uint8_t> stream, StreamListener &listener,
                                     const ReadOptions &options)
{
    Frames split = split_frames(stream);
    RecordOrder order;
    PageDoc doc;
    int pages = 0;
    uint64_t next_row = 0;

    for (const Frame &f : split.frames) {
        const bool starts_document = order.between_documents();
        if (!order.take(f.hdr.type))
            return Violation{f.offset, "record order",
                             "record " + record_label(f.hdr.type) + " where " + expected(order) + " belongs"};
        if (starts_document) {
            doc = PageDoc{};
            doc.number = ++pages;
            doc.offset = f.offset;
            next_row = 0;
        }

        std::string wrong = take_record(f, doc);
        if (!wrong.empty())
            return Violation{f.offset, "fixed field", wrong};

        const ImageRecord &image = doc.geometry;
        if (f.hdr.type == record_type::image) {
            if (image.width > options.max_width || uint64_t(image.width) * image.height > options.max_pixels)
                return Violation{f.offset, "image size",
                                 std::to_string(image.width) + " x " + std::to_string(image.height) +
                                     " pixels is beyond what this reader decodes"};
            if (image.width == 0 && image.height != 0)
                return Violation{f.offset, "image size", "an image 0 pixels wide cannot hold rows"};
        }

        if (f.hdr.type == record_type::band) {
            BandRecord rec;
            unpack(f.payload.data(), rec);
            Bih bih;
            unpack(rec.bih.data(), bih);
            uint64_t rows = std::min<uint64_t>(band_rows, image.height > next_row ? image.height - next_row : 0);
            if (rec.first_row != next_row)
                return Violation{f.offset, "band rows",
                                 "band starts at row " + std::to_string(rec.first_row) + ", the next row is " +
                                     std::to_string(next_row)};
            if (rows == 0)
                return Violation{f.offset, "band rows",
                                 "band beyond the image height of " + std::to_string(image.height) + " rows"};
            if (bih.height != rows)
                return Violation{f.offset, "band rows",
                                 "band of " + std::to_string(bih.height) + " rows where " + std::to_string(rows) +
                                     " belong"};
            if (bih.layers != band_bih_layers || bih.options != band_bih_options || bih.width != image.width ||
                bih.stripe_rows != bih.height) {
                return Violation{f.offset, "BIH fields",
                                 "BIH " + hex_bytes(rec.bih) +
                                     " must read 00 00 01 00, XD = image width, YD = L0 = band rows, 10 00 03 58"};
            }
            if (rec.reserved != fixed::band_reserved || rec.plane != fixed::band_plane ||
                rec.subplane != fixed::band_subplane)
                return Violation{f.offset, "fixed field", "IMAGE_DATA record must have 0, plane 3, subplane 0"};
            if (options.decode) {
                DecodedBand band = decode_band(rec, f.data);
                if (!band.error.empty())
                    return Violation{f.offset + f.hdr.length, "band data", "libjbig: " + band.error};
                listener.rows(doc, rec, band.bits);
            }
            next_row += rows;
            doc.bands.push_back(rec);
            doc.compressed += rec.data_length;
        }
        if (f.hdr.type == record_type::end_image && next_row != image.height)
            return Violation{f.offset, "band rows",
                             "bands cover " + std::to_string(next_row) + " of the image's " +
                                 std::to_string(image.height) + " rows"};

        listener.record(f, doc);
        if (f.hdr.type == record_type::end_document)
            listener.page_end(doc);
    }
    if (split.violation)
        return split.violation;
    if (!order.between_documents())
        return Violation{stream.size(), "truncated",
                         "stream ends inside page document " + std::to_string(pages) + ", where " +
                             expected(order) + " belongs"};
    return std::nullopt;
}

}  // namespace quillet
