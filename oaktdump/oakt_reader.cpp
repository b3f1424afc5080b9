#include "oakt_reader.h"

#include <array>

#include "oakt_tables.h"

#include <algorithm>
#include <cstring>
#include <utility>

extern "C" {
#include <jbig.h>
}

namespace oakt {

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
        if (bytes[i] != uint8_t(OAK_PAD[i % 16]))
            return false;
    return true;
}

std::string type_text(DWORD type)
{
    return std::to_string(type) + " (" + type_name(type) + ")";
}

}  // namespace

std::string Violation::message() const
{
    return "offset " + std::to_string(offset) + ": " + rule + ": " + detail;
}

std::optional<size_t> payload_size(DWORD type)
{
    switch (type) {
    case OAK_TYPE_OTHER: return OAK_OTHER_SIZE;
    case OAK_TYPE_TIME: return OAK_TIME_SIZE;
    case OAK_TYPE_FILENAME: return OAK_FILENAME_SIZE;
    case OAK_TYPE_DUPLEX: return OAK_DUPLEX_SIZE;
    case OAK_TYPE_SOURCE: return OAK_SOURCE_SIZE;
    case OAK_TYPE_MEDIA: return OAK_MEDIA_SIZE;
    case OAK_TYPE_COPIES: return OAK_COPIES_SIZE;
    case OAK_TYPE_PAPER: return OAK_PAPER_SIZE;
    case OAK_TYPE_IMAGE_MONO: return OAK_IMAGE_MONO_SIZE;
    case OAK_TYPE_END_PAGE: return OAK_END_PAGE_SIZE;
    case OAK_TYPE_IMAGE_DATA: return OAK_IMAGE_DATA_SIZE;
    case OAK_TYPE_END_DOC:
    case OAK_TYPE_START_PAGE:
    case OAK_TYPE_START_IMAGE:
    case OAK_TYPE_END_IMAGE: return 0;
    default: return std::nullopt;
    }
}

const char *type_name(DWORD type)
{
    switch (type) {
    case OAK_TYPE_FILENAME: return "FILENAME";
    case OAK_TYPE_END_DOC: return "END_DOC";
    case OAK_TYPE_TIME: return "TIME";
    case OAK_TYPE_OTHER: return "OTHER";
    case OAK_TYPE_DUPLEX: return "DUPLEX";
    case OAK_TYPE_START_PAGE: return "START_PAGE";
    case OAK_TYPE_START_IMAGE: return "START_IMAGE";
    case OAK_TYPE_END_IMAGE: return "END_IMAGE";
    case OAK_TYPE_END_PAGE: return "END_PAGE";
    case OAK_TYPE_SOURCE: return "SOURCE";
    case OAK_TYPE_MEDIA: return "MEDIA";
    case OAK_TYPE_COPIES: return "COPIES";
    case OAK_TYPE_PAPER: return "PAPER";
    case OAK_TYPE_IMAGE_MONO: return "IMAGE_MONO";
    case OAK_TYPE_IMAGE_DATA: return "IMAGE_DATA";
    default: return "?";
    }
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
        if (left < OAK_HDR_SIZE)
            return fail(pos, "truncated",
                        "stream ends inside a record header (" + std::to_string(left) + " of 12 bytes)");
        Frame f;
        f.offset = pos;
        oak_unpack_hdr(stream.data() + pos, f.hdr);
        if (memcmp(f.hdr.magic, OAK_MAGIC, 4) != 0)
            return fail(pos, "magic", "bytes " + hex_bytes(stream.subspan(pos, 4)) + " where \"OAKT\" belongs");
        std::optional<size_t> paylen = payload_size(f.hdr.type);
        if (!paylen)
            return fail(pos, "record type", "unknown record type " + std::to_string(f.hdr.type));
        if (f.hdr.len % 16 != 0)
            return fail(pos, "16-byte alignment",
                        "record length " + std::to_string(f.hdr.len) + " is not a multiple of 16");
        DWORD want = oak_record_len(DWORD(*paylen));
        if (f.hdr.len != want)
            return fail(pos, "length rule",
                        "record " + type_text(f.hdr.type) + " with " + std::to_string(*paylen) +
                            " payload bytes must be " + std::to_string(want) + " bytes long, not " +
                            std::to_string(f.hdr.len));
        if (left < f.hdr.len)
            return fail(pos, "truncated",
                        "stream ends inside record " + type_text(f.hdr.type) + " (" + std::to_string(left) +
                            " of " + std::to_string(f.hdr.len) + " bytes)");
        f.payload = stream.subspan(pos + OAK_HDR_SIZE, *paylen);
        auto filler = stream.subspan(pos + OAK_HDR_SIZE + *paylen, f.hdr.len - OAK_HDR_SIZE - *paylen);
        if (!is_filler(filler))
            return fail(pos + OAK_HDR_SIZE + *paylen, "filler",
                        "record filler reads " + hex_bytes(filler) + ", not the start of \"PAD_PAD_PAD_PAD_\"");
        pos += f.hdr.len;

        if (f.hdr.type == OAK_TYPE_IMAGE_DATA) {
            OAK_IMAGE_DATA rec;
            oak_unpack_image_data(f.payload.data(), rec);
            uint64_t padlen = rec.padlen, datalen = rec.datalen;
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
            auto bandFiller = stream.subspan(pos + datalen, padlen - datalen);
            if (!is_filler(bandFiller))
                return fail(pos + datalen, "filler",
                            "band filler reads " + hex_bytes(bandFiller) +
                                ", not the start of \"PAD_PAD_PAD_PAD_\"");
            pos += padlen;
        }
        out.frames.push_back(f);
    }
    return out;
}

DecodedBand decode_band(const OAK_IMAGE_DATA &rec, std::span<const uint8_t> data)
{
    DecodedBand out;
    // Back to the BIH as T.82 has it: XD, YD and L0 most significant byte first.
    std::array<unsigned char, OAKBIH_SIZE> bih;
    oak_pack_bih(bih.data(), rec.bih);
    quillet::swap_bih_sizes(bih);

    jbg_dec_state dec;
    jbg_dec_init(&dec);
    jbg_dec_maxsize(&dec, rec.bih.xd, rec.bih.yd);
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

// Where the reader stands inside a page document: the record types that may
// come next.
enum class Expect {
    Other, Time, FileName, Duplex, StartPageOrEndDoc, Source, Media, Copies, Paper, ImageMono, StartImage,
    BandOrEndImage, EndPage, EndDoc
};

const char *expected_text(Expect e)
{
    switch (e) {
    case Expect::Other: return "13 (OTHER), which opens a page document";
    case Expect::Time: return "12 (TIME)";
    case Expect::FileName: return "10 (FILENAME)";
    case Expect::Duplex: return "15 (DUPLEX)";
    case Expect::StartPageOrEndDoc: return "20 (START_PAGE) or 11 (END_DOC)";
    case Expect::Source: return "40 (SOURCE)";
    case Expect::Media: return "41 (MEDIA)";
    case Expect::Copies: return "42 (COPIES)";
    case Expect::Paper: return "43 (PAPER)";
    case Expect::ImageMono: return "51 (IMAGE_MONO)";
    case Expect::StartImage: return "21 (START_IMAGE)";
    case Expect::BandOrEndImage: return "60 (IMAGE_DATA) or 23 (END_IMAGE)";
    case Expect::EndPage: return "24 (END_PAGE)";
    case Expect::EndDoc: return "11 (END_DOC)";
    }
    return "?";
}

// The state after a record of the given type, or nullopt when it may not
// come here.
std::optional<Expect> next_state(Expect e, DWORD type)
{
    switch (e) {
    case Expect::Other: return type == OAK_TYPE_OTHER ? std::optional(Expect::Time) : std::nullopt;
    case Expect::Time: return type == OAK_TYPE_TIME ? std::optional(Expect::FileName) : std::nullopt;
    case Expect::FileName: return type == OAK_TYPE_FILENAME ? std::optional(Expect::Duplex) : std::nullopt;
    case Expect::Duplex: return type == OAK_TYPE_DUPLEX ? std::optional(Expect::StartPageOrEndDoc) : std::nullopt;
    case Expect::StartPageOrEndDoc:
        if (type == OAK_TYPE_START_PAGE)
            return Expect::Source;
        return type == OAK_TYPE_END_DOC ? std::optional(Expect::Other) : std::nullopt;
    case Expect::Source: return type == OAK_TYPE_SOURCE ? std::optional(Expect::Media) : std::nullopt;
    case Expect::Media: return type == OAK_TYPE_MEDIA ? std::optional(Expect::Copies) : std::nullopt;
    case Expect::Copies: return type == OAK_TYPE_COPIES ? std::optional(Expect::Paper) : std::nullopt;
    case Expect::Paper: return type == OAK_TYPE_PAPER ? std::optional(Expect::ImageMono) : std::nullopt;
    case Expect::ImageMono: return type == OAK_TYPE_IMAGE_MONO ? std::optional(Expect::StartImage) : std::nullopt;
    case Expect::StartImage:
        return type == OAK_TYPE_START_IMAGE ? std::optional(Expect::BandOrEndImage) : std::nullopt;
    case Expect::BandOrEndImage:
        if (type == OAK_TYPE_IMAGE_DATA)
            return Expect::BandOrEndImage;
        return type == OAK_TYPE_END_IMAGE ? std::optional(Expect::EndPage) : std::nullopt;
    case Expect::EndPage: return type == OAK_TYPE_END_PAGE ? std::optional(Expect::EndDoc) : std::nullopt;
    case Expect::EndDoc: return type == OAK_TYPE_END_DOC ? std::optional(Expect::Other) : std::nullopt;
    }
    return std::nullopt;
}

bool text_field_is(const char (&field)[64], const char *text)
{
    size_t n = strlen(text);
    if (memcmp(field, text, n) != 0)
        return false;
    return std::all_of(field + n, field + 64, [](char c) { return c == 0; });
}

// Checks the payload of one record against the fixed fields of its type and
// takes it into the page document.  Returns what is wrong, or an empty text.
std::string take_record(const Frame &f, PageDoc &doc)
{
    const uint8_t *p = f.payload.data();
    switch (f.hdr.type) {
    case OAK_TYPE_OTHER:
        oak_unpack_other(p, doc.other);
        if (doc.other.kind != 1 || !text_field_is(doc.other.string, "OTHER"))
            return "OTHER record must hold WORD 1 and the text \"OTHER\"";
        break;
    case OAK_TYPE_TIME: oak_unpack_time(p, doc.time); break;
    case OAK_TYPE_FILENAME:
        oak_unpack_filename(p, doc.filename);
        if (!text_field_is(doc.filename.string, "stdin"))
            return "FILENAME record must hold the text \"stdin\"";
        break;
    case OAK_TYPE_DUPLEX:
        oak_unpack_duplex(p, doc.duplex);
        if (doc.duplex.short_edge != 0)
            return "DUPLEX record's short_edge must be 0";
        break;
    case OAK_TYPE_START_PAGE: doc.has_image = true; break;
    case OAK_TYPE_SOURCE: get_dword(p, &doc.source); break;
    case OAK_TYPE_MEDIA:
        oak_unpack_media(p, doc.media);
        if (doc.media.reserved[0] != 0 || doc.media.reserved[1] != 0 || doc.media.string[0] != 0 ||
            !std::all_of(doc.media.string + 1, doc.media.string + 64, [](char c) { return c == ' '; }))
            return "MEDIA record must end in two zero bytes, a zero byte and 63 spaces";
        break;
    case OAK_TYPE_COPIES: oak_unpack_copies(p, doc.copies); break;
    case OAK_TYPE_PAPER:
        oak_unpack_paper(p, doc.paper);
        if (doc.paper.reserved != 0)
            return "PAPER record's last DWORD must be 0";
        break;
    case OAK_TYPE_IMAGE_MONO: {
        oak_unpack_image_mono(p, doc.mono);
        if (doc.mono.plane.nbits != 1)
            return "IMAGE_MONO record must have 1 bit per pixel";
        for (int i = 0; i < 16; i++)
            if (doc.mono.plane.sequence[i] != char(i))
                return "IMAGE_MONO record must end in the bytes 00 01 02 ... 0F";
        break;
    }
    case OAK_TYPE_END_PAGE: {
        WORD arg;
        get_word(p, &arg);
        if (arg != 0)
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
    Expect expect = Expect::Other;
    PageDoc doc;
    int pages = 0;
    uint64_t nextRow = 0;

    for (const Frame &f : split.frames) {
        auto next = next_state(expect, f.hdr.type);
        if (!next)
            return Violation{f.offset, "record order",
                             "record " + type_text(f.hdr.type) + " where " + expected_text(expect) + " belongs"};
        if (expect == Expect::Other) {
            doc = PageDoc{};
            doc.number = ++pages;
            doc.offset = f.offset;
            nextRow = 0;
        }
        expect = *next;

        std::string wrong = take_record(f, doc);
        if (!wrong.empty())
            return Violation{f.offset, "fixed field", wrong};

        const OAK_IMAGE_PLANE &plane = doc.mono.plane;
        if (f.hdr.type == OAK_TYPE_IMAGE_MONO) {
            if (plane.w > options.max_width || uint64_t(plane.w) * plane.h > options.max_pixels)
                return Violation{f.offset, "image size",
                                 std::to_string(plane.w) + " x " + std::to_string(plane.h) +
                                     " pixels is beyond what this reader decodes"};
            if (plane.w == 0 && plane.h != 0)
                return Violation{f.offset, "image size", "an image 0 pixels wide cannot hold rows"};
        }

        if (f.hdr.type == OAK_TYPE_IMAGE_DATA) {
            OAK_IMAGE_DATA rec;
            oak_unpack_image_data(f.payload.data(), rec);
            uint64_t rows = std::min<uint64_t>(256, plane.h > nextRow ? plane.h - nextRow : 0);
            if (rec.y != nextRow)
                return Violation{f.offset, "band rows",
                                 "band starts at row " + std::to_string(rec.y) + ", the next row is " +
                                     std::to_string(nextRow)};
            if (rows == 0)
                return Violation{f.offset, "band rows",
                                 "band beyond the image height of " + std::to_string(plane.h) + " rows"};
            if (rec.bih.yd != rows)
                return Violation{f.offset, "band rows",
                                 "band of " + std::to_string(rec.bih.yd) + " rows where " + std::to_string(rows) +
                                     " belong"};
            if (rec.bih.opt1 != quillet::band_bih_opt1 || rec.bih.opt2 != quillet::band_bih_opt2 || rec.bih.xd != plane.w ||
                rec.bih.l0 != rec.bih.yd) {
                unsigned char bih[OAKBIH_SIZE];
                oak_pack_bih(bih, rec.bih);
                return Violation{f.offset, "BIH fields",
                                 "BIH " + hex_bytes(bih) +
                                     " must read 00 00 01 00, XD = image width, YD = L0 = band rows, 10 00 03 58"};
            }
            if (rec.reserved != 0 || rec.plane != 3 || rec.subplane != 0)
                return Violation{f.offset, "fixed field", "IMAGE_DATA record must have 0, plane 3, subplane 0"};
            if (options.decode) {
                DecodedBand band = decode_band(rec, f.data);
                if (!band.error.empty())
                    return Violation{f.offset + f.hdr.len, "band data", "libjbig: " + band.error};
                listener.rows(doc, rec, band.bits);
            }
            nextRow += rows;
            doc.bands.push_back(rec);
            doc.compressed += rec.datalen;
        }
        if (f.hdr.type == OAK_TYPE_END_IMAGE && nextRow != plane.h)
            return Violation{f.offset, "band rows",
                             "bands cover " + std::to_string(nextRow) + " of the image's " +
                                 std::to_string(plane.h) + " rows"};

        listener.record(f, doc);
        if (f.hdr.type == OAK_TYPE_END_DOC)
            listener.page_end(doc);
    }
    if (split.violation)
        return split.violation;
    if (expect != Expect::Other)
        return Violation{stream.size(), "truncated",
                         "stream ends inside page document " + std::to_string(pages) + ", where " +
                             expected_text(expect) + " belongs"};
    return std::nullopt;
}

}  // namespace oakt
