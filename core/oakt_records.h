// OAKT stream: record types and payload layouts.
//
// Every record is a 12-byte header ("OAKT", DWORD len, DWORD type), the
// payload of its type and "PAD_" filler up to a multiple of 16 bytes.  Every
// multi-byte field is little-endian and payloads have no alignment gaps, so
// payloads are never written as C structures: each payload type below is a
// plain structure with host-typed fields, turned into stream bytes by its
// oak_pack_* function and read back by its oak_unpack_* function.  The sizes
// are checked at compile time by packing and unpacking in constant
// expressions.
//
// This header is shared by the encoding core, the front ends and the tools
// that read the stream.
#ifndef OAKT_RECORDS_H
#define OAKT_RECORDS_H

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;

// Record type numbers.
enum {
    OAK_TYPE_FILENAME = 10,
    OAK_TYPE_END_DOC = 11,
    OAK_TYPE_TIME = 12,
    OAK_TYPE_OTHER = 13,
    OAK_TYPE_DUPLEX = 15,
    OAK_TYPE_START_PAGE = 20,
    OAK_TYPE_START_IMAGE = 21,
    OAK_TYPE_END_IMAGE = 23,
    OAK_TYPE_END_PAGE = 24,
    OAK_TYPE_SOURCE = 40,
    OAK_TYPE_MEDIA = 41,
    OAK_TYPE_COPIES = 42,
    OAK_TYPE_PAPER = 43,
    OAK_TYPE_IMAGE_MONO = 51,
    OAK_TYPE_IMAGE_DATA = 60,
};

// Payload sizes in stream bytes.
enum {
    OAK_HDR_SIZE = 12,
    OAK_OTHER_SIZE = 66,
    OAK_TIME_SIZE = 48,
    OAK_FILENAME_SIZE = 64,
    OAK_DUPLEX_SIZE = 8,
    OAK_SOURCE_SIZE = 4,
    OAK_MEDIA_SIZE = 68,
    OAK_COPIES_SIZE = 8,
    OAK_PAPER_SIZE = 16,
    OAK_IMAGE_MONO_SIZE = 44,
    OAK_END_PAGE_SIZE = 2,
    OAKBIH_SIZE = 20,
    OAK_IMAGE_DATA_SIZE = 44,
};

// "OAKT" as it stands in the stream, and the filler text.
inline constexpr char OAK_MAGIC[4] = {'O', 'A', 'K', 'T'};
inline constexpr char OAK_PAD[] = "PAD_PAD_PAD_PAD_";

// Length of a record with a payload of paylen bytes: the header and payload
// brought up to the next multiple of 16.
constexpr DWORD oak_record_len(DWORD paylen) { return (paylen + 27) & ~DWORD{15}; }

// Byte helpers: every multi-byte field goes through these.
constexpr unsigned char *put_byte(unsigned char *p, BYTE v)
{
    p[0] = v;
    return p + 1;
}
constexpr unsigned char *put_word(unsigned char *p, WORD v)
{
    p[0] = static_cast<unsigned char>(v & 0xff);
    p[1] = static_cast<unsigned char>(v >> 8);
    return p + 2;
}
constexpr unsigned char *put_dword(unsigned char *p, DWORD v)
{
    p[0] = static_cast<unsigned char>(v & 0xff);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xff);
    p[2] = static_cast<unsigned char>((v >> 16) & 0xff);
    p[3] = static_cast<unsigned char>(v >> 24);
    return p + 4;
}
constexpr unsigned char *put_chars(unsigned char *p, const char *s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        p[i] = static_cast<unsigned char>(s[i]);
    return p + n;
}
constexpr const unsigned char *get_byte(const unsigned char *p, BYTE *v)
{
    *v = p[0];
    return p + 1;
}
constexpr const unsigned char *get_word(const unsigned char *p, WORD *v)
{
    *v = static_cast<WORD>(p[0] | (p[1] << 8));
    return p + 2;
}
constexpr const unsigned char *get_dword(const unsigned char *p, DWORD *v)
{
    *v = DWORD{p[0]} | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
    return p + 4;
}
constexpr const unsigned char *get_chars(const unsigned char *p, char *s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(p[i]);
    return p + n;
}
// A big-endian DWORD, as T.82 stores the sizes in a BIH.
constexpr DWORD get_dword_be(const unsigned char *p)
{
    return (DWORD{p[0]} << 24) | (DWORD{p[1]} << 16) | (DWORD{p[2]} << 8) | DWORD{p[3]};
}

// Record header.
struct OAK_HDR {
    char magic[4];
    DWORD len;
    DWORD type;
};

// Type 13: a fixed record, WORD 1 and the text "OTHER".
struct OAK_OTHER {
    WORD kind;  // always 1
    char string[64];
};

// Type 12: the time stamp of the page document.
struct OAK_TIME {
    char datetime[32];  // ctime text with its newline and NUL
    DWORD seconds;      // seconds since 1970, low 32 bits
    WORD year;          // tm_year + 1900
    WORD tm_mon;        // 0 to 11
    WORD tm_mday;
    WORD tm_hour;
    WORD tm_min;
    WORD tm_sec;
};

// Type 10: the document's file name.
struct OAK_FILENAME {
    char string[64];
};

// Type 15: duplex setting of the document.
struct OAK_DUPLEX {
    DWORD duplex;
    DWORD short_edge;
};

// Type 41: media type and print density.
struct OAK_MEDIA {
    BYTE media;
    BYTE density;  // 0 lightest to 4 darkest
    BYTE reserved[2];
    char string[64];
};

// Type 42: copies and one- or two-sided printing.
struct OAK_COPIES {
    DWORD copies;
    DWORD duplex;  // 0xFFFFFFFF one-sided, 0 two-sided
};

// Type 43: paper code and size on the 1/1200 inch grid.
struct OAK_PAPER {
    DWORD paper;
    DWORD w1200;
    DWORD h1200;
    DWORD reserved;
};

// Type 51: placement, size and resolution of the page image.
struct OAK_IMAGE_PLANE {
    DWORD left_offset;  // left offset, 1/1200 inch
    DWORD top_offset;  // top offset, 1/1200 inch
    DWORD w;
    DWORD h;
    DWORD resx;
    DWORD resy;
    DWORD nbits;
    char sequence[16];  // the bytes 0 to 15
};
struct OAK_IMAGE_MONO {
    OAK_IMAGE_PLANE plane;
};

// The JBIG header of a band with its three sizes little-endian.
struct OAKBIH {
    DWORD opt1;  // DL, D, P, fill byte
    DWORD xd;
    DWORD yd;
    DWORD l0;
    DWORD opt2;  // MX, MY, order, options
};

// Type 60: one band of the page image; its compressed bytes follow the record.
struct OAK_IMAGE_DATA {
    OAKBIH bih;
    DWORD datalen;
    DWORD padlen;
    DWORD reserved;
    DWORD y;
    DWORD plane;
    DWORD subplane;
};

// Packing: each writes the payload's stream bytes at out and returns the end.
constexpr unsigned char *oak_pack_hdr(unsigned char *out, const OAK_HDR &v)
{
    out = put_chars(out, v.magic, 4);
    out = put_dword(out, v.len);
    return put_dword(out, v.type);
}
constexpr unsigned char *oak_pack_other(unsigned char *out, const OAK_OTHER &v)
{
    out = put_word(out, v.kind);
    return put_chars(out, v.string, sizeof v.string);
}
constexpr unsigned char *oak_pack_time(unsigned char *out, const OAK_TIME &v)
{
    out = put_chars(out, v.datetime, sizeof v.datetime);
    out = put_dword(out, v.seconds);
    out = put_word(out, v.year);
    out = put_word(out, v.tm_mon);
    out = put_word(out, v.tm_mday);
    out = put_word(out, v.tm_hour);
    out = put_word(out, v.tm_min);
    return put_word(out, v.tm_sec);
}
constexpr unsigned char *oak_pack_filename(unsigned char *out, const OAK_FILENAME &v)
{
    return put_chars(out, v.string, sizeof v.string);
}
constexpr unsigned char *oak_pack_duplex(unsigned char *out, const OAK_DUPLEX &v)
{
    out = put_dword(out, v.duplex);
    return put_dword(out, v.short_edge);
}
constexpr unsigned char *oak_pack_media(unsigned char *out, const OAK_MEDIA &v)
{
    out = put_byte(out, v.media);
    out = put_byte(out, v.density);
    for (BYTE b : v.reserved)
        out = put_byte(out, b);
    return put_chars(out, v.string, sizeof v.string);
}
constexpr unsigned char *oak_pack_copies(unsigned char *out, const OAK_COPIES &v)
{
    out = put_dword(out, v.copies);
    return put_dword(out, v.duplex);
}
constexpr unsigned char *oak_pack_paper(unsigned char *out, const OAK_PAPER &v)
{
    out = put_dword(out, v.paper);
    out = put_dword(out, v.w1200);
    out = put_dword(out, v.h1200);
    return put_dword(out, v.reserved);
}
constexpr unsigned char *oak_pack_image_mono(unsigned char *out, const OAK_IMAGE_MONO &v)
{
    const OAK_IMAGE_PLANE &p = v.plane;
    out = put_dword(out, p.left_offset);
    out = put_dword(out, p.top_offset);
    out = put_dword(out, p.w);
    out = put_dword(out, p.h);
    out = put_dword(out, p.resx);
    out = put_dword(out, p.resy);
    out = put_dword(out, p.nbits);
    return put_chars(out, p.sequence, sizeof p.sequence);
}
constexpr unsigned char *oak_pack_bih(unsigned char *out, const OAKBIH &v)
{
    out = put_dword(out, v.opt1);
    out = put_dword(out, v.xd);
    out = put_dword(out, v.yd);
    out = put_dword(out, v.l0);
    return put_dword(out, v.opt2);
}
constexpr unsigned char *oak_pack_image_data(unsigned char *out, const OAK_IMAGE_DATA &v)
{
    out = oak_pack_bih(out, v.bih);
    out = put_dword(out, v.datalen);
    out = put_dword(out, v.padlen);
    out = put_dword(out, v.reserved);
    out = put_dword(out, v.y);
    out = put_dword(out, v.plane);
    return put_dword(out, v.subplane);
}

// Unpacking: each reads the payload from its stream bytes and returns the end.
constexpr const unsigned char *oak_unpack_hdr(const unsigned char *in, OAK_HDR &v)
{
    in = get_chars(in, v.magic, 4);
    in = get_dword(in, &v.len);
    return get_dword(in, &v.type);
}
constexpr const unsigned char *oak_unpack_other(const unsigned char *in, OAK_OTHER &v)
{
    in = get_word(in, &v.kind);
    return get_chars(in, v.string, sizeof v.string);
}
constexpr const unsigned char *oak_unpack_time(const unsigned char *in, OAK_TIME &v)
{
    in = get_chars(in, v.datetime, sizeof v.datetime);
    in = get_dword(in, &v.seconds);
    in = get_word(in, &v.year);
    in = get_word(in, &v.tm_mon);
    in = get_word(in, &v.tm_mday);
    in = get_word(in, &v.tm_hour);
    in = get_word(in, &v.tm_min);
    return get_word(in, &v.tm_sec);
}
constexpr const unsigned char *oak_unpack_filename(const unsigned char *in, OAK_FILENAME &v)
{
    return get_chars(in, v.string, sizeof v.string);
}
constexpr const unsigned char *oak_unpack_duplex(const unsigned char *in, OAK_DUPLEX &v)
{
    in = get_dword(in, &v.duplex);
    return get_dword(in, &v.short_edge);
}
constexpr const unsigned char *oak_unpack_media(const unsigned char *in, OAK_MEDIA &v)
{
    in = get_byte(in, &v.media);
    in = get_byte(in, &v.density);
    for (BYTE &b : v.reserved)
        in = get_byte(in, &b);
    return get_chars(in, v.string, sizeof v.string);
}
constexpr const unsigned char *oak_unpack_copies(const unsigned char *in, OAK_COPIES &v)
{
    in = get_dword(in, &v.copies);
    return get_dword(in, &v.duplex);
}
constexpr const unsigned char *oak_unpack_paper(const unsigned char *in, OAK_PAPER &v)
{
    in = get_dword(in, &v.paper);
    in = get_dword(in, &v.w1200);
    in = get_dword(in, &v.h1200);
    return get_dword(in, &v.reserved);
}
constexpr const unsigned char *oak_unpack_image_mono(const unsigned char *in, OAK_IMAGE_MONO &v)
{
    OAK_IMAGE_PLANE &p = v.plane;
    in = get_dword(in, &p.left_offset);
    in = get_dword(in, &p.top_offset);
    in = get_dword(in, &p.w);
    in = get_dword(in, &p.h);
    in = get_dword(in, &p.resx);
    in = get_dword(in, &p.resy);
    in = get_dword(in, &p.nbits);
    return get_chars(in, p.sequence, sizeof p.sequence);
}
constexpr const unsigned char *oak_unpack_bih(const unsigned char *in, OAKBIH &v)
{
    in = get_dword(in, &v.opt1);
    in = get_dword(in, &v.xd);
    in = get_dword(in, &v.yd);
    in = get_dword(in, &v.l0);
    return get_dword(in, &v.opt2);
}
constexpr const unsigned char *oak_unpack_image_data(const unsigned char *in, OAK_IMAGE_DATA &v)
{
    in = oak_unpack_bih(in, v.bih);
    in = get_dword(in, &v.datalen);
    in = get_dword(in, &v.padlen);
    in = get_dword(in, &v.reserved);
    in = get_dword(in, &v.y);
    in = get_dword(in, &v.plane);
    return get_dword(in, &v.subplane);
}

// Compile-time check that a payload type packs to and unpacks from exactly
// its stream size.  Writing or reading past the buffer would make the
// expression non-constant and fail the build as well.
template <typename T, size_t N>
constexpr bool oak_layout_is(unsigned char *(*pack)(unsigned char *, const T &),
                             const unsigned char *(*unpack)(const unsigned char *, T &))
{
    T v{};
    unsigned char bytes[N]{};
    return pack(bytes, v) == bytes + N && unpack(bytes, v) == bytes + N;
}
static_assert(oak_layout_is<OAK_HDR, OAK_HDR_SIZE>(oak_pack_hdr, oak_unpack_hdr));
static_assert(oak_layout_is<OAK_OTHER, OAK_OTHER_SIZE>(oak_pack_other, oak_unpack_other));
static_assert(oak_layout_is<OAK_TIME, OAK_TIME_SIZE>(oak_pack_time, oak_unpack_time));
static_assert(oak_layout_is<OAK_FILENAME, OAK_FILENAME_SIZE>(oak_pack_filename, oak_unpack_filename));
static_assert(oak_layout_is<OAK_DUPLEX, OAK_DUPLEX_SIZE>(oak_pack_duplex, oak_unpack_duplex));
static_assert(oak_layout_is<OAK_MEDIA, OAK_MEDIA_SIZE>(oak_pack_media, oak_unpack_media));
static_assert(oak_layout_is<OAK_COPIES, OAK_COPIES_SIZE>(oak_pack_copies, oak_unpack_copies));
static_assert(oak_layout_is<OAK_PAPER, OAK_PAPER_SIZE>(oak_pack_paper, oak_unpack_paper));
static_assert(oak_layout_is<OAK_IMAGE_MONO, OAK_IMAGE_MONO_SIZE>(oak_pack_image_mono, oak_unpack_image_mono));
static_assert(oak_layout_is<OAKBIH, OAKBIH_SIZE>(oak_pack_bih, oak_unpack_bih));
static_assert(oak_layout_is<OAK_IMAGE_DATA, OAK_IMAGE_DATA_SIZE>(oak_pack_image_data, oak_unpack_image_data));

static_assert(oak_record_len(0) == 16 && oak_record_len(4) == 16 && oak_record_len(66) == 80 &&
              oak_record_len(68) == 80 && oak_record_len(44) == 64);

#endif  // OAKT_RECORDS_H
