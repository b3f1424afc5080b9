#include "stream.h"

#include <cstring>

extern "C" {
#include <jbig.h>
}

namespace quillet::test {

namespace {

[[noreturn]] void fail(size_t offset, const std::string &what)
{
    throw StreamError("offset " + std::to_string(offset) + ": " + what);
}

size_t payload_size(DWORD type)
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
    default: return SIZE_MAX;
    }
}

bool is_filler(std::span<const uint8_t> bytes)
{
    for (size_t i = 0; i < bytes.size(); i++)
        if (bytes[i] != uint8_t(OAK_PAD[i % 16]))
            return false;
    return bytes.size() < 16;
}

}  // namespace

std::vector<DWORD> PageDoc::types() const
{
    std::vector<DWORD> t;
    for (const Record &r : records)
        t.push_back(r.type);
    return t;
}

std::vector<Record> split_records(std::span<const uint8_t> stream)
{
    std::vector<Record> records;
    size_t pos = 0;
    while (pos < stream.size()) {
        if (stream.size() - pos < OAK_HDR_SIZE)
            fail(pos, "stream ends inside a record header");
        OAK_HDR hdr;
        oak_unpack_hdr(stream.data() + pos, hdr);
        if (memcmp(hdr.magic, OAK_MAGIC, 4) != 0)
            fail(pos, "no OAKT magic");
        size_t paylen = payload_size(hdr.type);
        if (paylen == SIZE_MAX)
            fail(pos, "unknown record type " + std::to_string(hdr.type));
        if (hdr.len != oak_record_len(DWORD(paylen)))
            fail(pos, "length " + std::to_string(hdr.len) + " breaks the length rule");
        if (stream.size() - pos < hdr.len)
            fail(pos, "stream ends inside a record");
        Record r;
        r.offset = pos;
        r.len = hdr.len;
        r.type = hdr.type;
        r.body.assign(stream.begin() + pos + OAK_HDR_SIZE, stream.begin() + pos + hdr.len);
        if (!is_filler(std::span(r.body).subspan(paylen)))
            fail(pos, "bad filler");
        pos += hdr.len;
        if (r.type == OAK_TYPE_IMAGE_DATA) {
            OAK_IMAGE_DATA rec;
            oak_unpack_image_data(r.body.data(), rec);
            if (rec.padlen != ((rec.datalen + 15) & ~15u))
                fail(r.offset, "padlen does not match datalen");
            if (stream.size() - pos < rec.padlen)
                fail(pos, "stream ends inside band data");
            r.data.assign(stream.begin() + pos, stream.begin() + pos + rec.padlen);
            if (!is_filler(std::span(r.data).subspan(rec.datalen)))
                fail(pos, "bad band filler");
            pos += rec.padlen;
        }
        records.push_back(std::move(r));
    }
    return records;
}

Bitmap decode_band(const OAK_IMAGE_DATA &rec, std::span<const uint8_t> data)
{
    unsigned char bih[OAKBIH_SIZE];
    oak_pack_bih(bih, rec.bih);
    for (int field = 4; field < 16; field += 4) {
        std::swap(bih[field], bih[field + 3]);
        std::swap(bih[field + 1], bih[field + 2]);
    }

    jbg_dec_state dec;
    jbg_dec_init(&dec);
    size_t used = 0;
    int rc = jbg_dec_in(&dec, bih, sizeof bih, &used);
    if (rc != JBG_EAGAIN) {
        jbg_dec_free(&dec);
        throw StreamError(std::string("BIH refused by the decoder: ") + jbg_strerror(rc));
    }
    std::vector<uint8_t> bytes(data.begin(), data.begin() + rec.datalen);
    rc = bytes.empty() ? JBG_EAGAIN : jbg_dec_in(&dec, bytes.data(), bytes.size(), &used);
    if (rc != JBG_EOK) {
        jbg_dec_free(&dec);
        throw StreamError(std::string("band data refused by the decoder: ") + jbg_strerror(rc));
    }
    Bitmap b;
    b.w = unsigned(jbg_dec_getwidth(&dec));
    b.h = unsigned(jbg_dec_getheight(&dec));
    const unsigned char *img = jbg_dec_getimage(&dec, 0);
    b.bits.assign(img, img + jbg_dec_getsize(&dec));
    jbg_dec_free(&dec);
    return b;
}

std::vector<PageDoc> read_pages(std::span<const uint8_t> stream)
{
    std::vector<PageDoc> pages;
    PageDoc doc;
    for (Record &r : split_records(stream)) {
        const uint8_t *p = r.body.data();
        switch (r.type) {
        case OAK_TYPE_OTHER: oak_unpack_other(p, doc.other); break;
        case OAK_TYPE_TIME: oak_unpack_time(p, doc.time); break;
        case OAK_TYPE_FILENAME: oak_unpack_filename(p, doc.filename); break;
        case OAK_TYPE_DUPLEX: oak_unpack_duplex(p, doc.duplex); break;
        case OAK_TYPE_START_PAGE: doc.has_page = true; break;
        case OAK_TYPE_SOURCE: get_dword(p, &doc.source); break;
        case OAK_TYPE_MEDIA: oak_unpack_media(p, doc.media); break;
        case OAK_TYPE_COPIES: oak_unpack_copies(p, doc.copies); break;
        case OAK_TYPE_PAPER: oak_unpack_paper(p, doc.paper); break;
        case OAK_TYPE_IMAGE_MONO:
            oak_unpack_image_mono(p, doc.mono);
            doc.image.w = doc.mono.plane.w;
            break;
        case OAK_TYPE_IMAGE_DATA: {
            OAK_IMAGE_DATA rec;
            oak_unpack_image_data(p, rec);
            Bitmap band = decode_band(rec, r.data);
            if (band.w != doc.image.w)
                fail(r.offset, "band width differs from the image width");
            if (rec.y != doc.image.h)
                fail(r.offset, "band does not start at the next row");
            doc.image.h += band.h;
            doc.image.bits.insert(doc.image.bits.end(), band.bits.begin(), band.bits.end());
            doc.bands.push_back(rec);
            break;
        }
        default: break;
        }
        DWORD type = r.type;
        doc.records.push_back(std::move(r));
        if (type == OAK_TYPE_END_DOC) {
            if (doc.has_page && doc.image.h != doc.mono.plane.h)
                fail(doc.records.front().offset, "bands do not cover the image height");
            pages.push_back(std::move(doc));
            doc = PageDoc{};
        }
    }
    if (!doc.records.empty())
        fail(doc.records.front().offset, "page document without end-of-document record");
    return pages;
}

}  // namespace quillet::test
