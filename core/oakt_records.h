// The OAKT stream's records: their types and payload layouts.
//
// Every record is a 12-byte header ("OAKT", the record's length, its type),
// the payload of its type and "PAD_" filler up to a multiple of 16 bytes.
// Every multi-byte field is little-endian and payloads have no gaps, so
// payloads are never written as C structures: each payload is a plain
// structure that lists its fields once, in stream order, in `fields`;
// pack() and unpack() walk that list, so that they cannot disagree.  The
// sizes are checked at compile time against the table of record types.
//
// This header is shared by the encoding core, the front ends and the tools
// that read the stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace quillet {

// Record type numbers.
namespace record_type {
inline constexpr uint32_t file_name = 10;
inline constexpr uint32_t end_document = 11;
inline constexpr uint32_t time = 12;
inline constexpr uint32_t other = 13;
inline constexpr uint32_t duplex = 15;
inline constexpr uint32_t start_page = 20;
inline constexpr uint32_t start_image = 21;
inline constexpr uint32_t end_image = 23;
inline constexpr uint32_t end_page = 24;
inline constexpr uint32_t source = 40;
inline constexpr uint32_t media = 41;
inline constexpr uint32_t copies = 42;
inline constexpr uint32_t paper = 43;
inline constexpr uint32_t image = 51;
inline constexpr uint32_t band = 60;
}  // namespace record_type

// "OAKT" as it stands in the stream, and the filler text.
inline constexpr std::array<char, 4> record_magic{'O', 'A', 'K', 'T'};
inline constexpr std::string_view record_filler = "PAD_PAD_PAD_PAD_";
inline constexpr size_t record_header_size = 12;

// Length of a record with a payload of payload_length bytes: the header and
// payload brought up to the next multiple of 16.
constexpr uint32_t record_length(uint32_t payload_length)
{
    return (payload_length + 27) & ~uint32_t{15};
}

// Little-endian byte helpers: every multi-byte field goes through these.
constexpr uint8_t *put_u16(uint8_t *out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value & 0xff);
    out[1] = static_cast<uint8_t>(value >> 8);
    return out + 2;
}
constexpr uint8_t *put_u32(uint8_t *out, uint32_t value)
{
    out[0] = static_cast<uint8_t>(value & 0xff);
    out[1] = static_cast<uint8_t>((value >> 8) & 0xff);
    out[2] = static_cast<uint8_t>((value >> 16) & 0xff);
    out[3] = static_cast<uint8_t>(value >> 24);
    return out + 4;
}
constexpr uint16_t get_u16(const uint8_t *in)
{
    return static_cast<uint16_t>(in[0] | (in[1] << 8));
}
constexpr uint32_t get_u32(const uint8_t *in)
{
    return uint32_t{in[0]} | (uint32_t{in[1]} << 8) | (uint32_t{in[2]} << 16) | (uint32_t{in[3]} << 24);
}

// The header of every record.
struct RecordHeader {
    std::array<char, 4> magic{};
    uint32_t length = 0;  // header, payload and filler
    uint32_t type = 0;
    static constexpr auto fields = std::tuple{&RecordHeader::magic, &RecordHeader::length, &RecordHeader::type};
};

// A fixed record: 1 and the text "OTHER".
struct OtherRecord {
    static constexpr uint32_t type = record_type::other;
    uint16_t kind = 0;
    std::array<char, 64> text{};
    static constexpr auto fields = std::tuple{&OtherRecord::kind, &OtherRecord::text};
};

// The time stamp of the page document, in local time.
struct TimeRecord {
    static constexpr uint32_t type = record_type::time;
    std::array<char, 32> text{};  // ctime text with its newline and NUL
    uint32_t seconds = 0;         // since 1970, low 32 bits
    uint16_t year = 0;
    uint16_t month = 0;  // 0 to 11
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    static constexpr auto fields =
        std::tuple{&TimeRecord::text, &TimeRecord::seconds, &TimeRecord::year,   &TimeRecord::month,
                   &TimeRecord::day,  &TimeRecord::hour,    &TimeRecord::minute, &TimeRecord::second};
};

// The document's file name.
struct FileNameRecord {
    static constexpr uint32_t type = record_type::file_name;
    std::array<char, 64> name{};
    static constexpr auto fields = std::tuple{&FileNameRecord::name};
};

// Whether the document prints on both sides.
struct DuplexRecord {
    static constexpr uint32_t type = record_type::duplex;
    uint32_t duplex = 0;
    uint32_t short_edge = 0;
    static constexpr auto fields = std::tuple{&DuplexRecord::duplex, &DuplexRecord::short_edge};
};

// The paper source.
struct SourceRecord {
    static constexpr uint32_t type = record_type::source;
    uint32_t source = 0;
    static constexpr auto fields = std::tuple{&SourceRecord::source};
};

// Media type and print density.
struct MediaRecord {
    static constexpr uint32_t type = record_type::media;
    uint8_t media = 0;
    uint8_t density = 0;  // 0 lightest to 4 darkest
    std::array<uint8_t, 2> reserved{};
    std::array<char, 64> text{};
    static constexpr auto fields =
        std::tuple{&MediaRecord::media, &MediaRecord::density, &MediaRecord::reserved, &MediaRecord::text};
};

// Copies and one- or two-sided printing.
struct CopiesRecord {
    static constexpr uint32_t type = record_type::copies;
    uint32_t copies = 0;
    uint32_t duplex = 0;  // one_sided or two_sided: the page's duplex value less one
    static constexpr auto fields = std::tuple{&CopiesRecord::copies, &CopiesRecord::duplex};
    static constexpr uint32_t one_sided = 0xFFFFFFFF, two_sided = 0;
};

// Paper code and size on the 1/1200 inch grid.
struct PaperRecord {
    static constexpr uint32_t type = record_type::paper;
    uint32_t code = 0;
    uint32_t width_1200 = 0;
    uint32_t height_1200 = 0;
    uint32_t reserved = 0;
    static constexpr auto fields =
        std::tuple{&PaperRecord::code, &PaperRecord::width_1200, &PaperRecord::height_1200, &PaperRecord::reserved};
};

// Placement, size and resolution of the page image.
struct ImageRecord {
    static constexpr uint32_t type = record_type::image;
    uint32_t left_offset = 0;  // 1/1200 inch
    uint32_t top_offset = 0;   // 1/1200 inch
    uint32_t width = 0;        // pixels
    uint32_t height = 0;       // rows
    uint32_t resolution_x = 0;
    uint32_t resolution_y = 0;
    uint32_t bits_per_pixel = 0;
    std::array<char, 16> sequence{};  // the bytes 0 to 15
    static constexpr auto fields =
        std::tuple{&ImageRecord::left_offset,  &ImageRecord::top_offset,   &ImageRecord::width,
                   &ImageRecord::height,       &ImageRecord::resolution_x, &ImageRecord::resolution_y,
                   &ImageRecord::bits_per_pixel, &ImageRecord::sequence};
};

// The end of a page.
struct EndPageRecord {
    static constexpr uint32_t type = record_type::end_page;
    std::array<uint8_t, 2> reserved{};
    static constexpr auto fields = std::tuple{&EndPageRecord::reserved};
};

// A band's JBIG header (BIH) as the stream holds it: its sizes
// little-endian, where T.82 has them most significant byte first.
struct Bih {
    uint32_t layers = 0;       // DL, D, P and the fill byte
    uint32_t width = 0;        // XD
    uint32_t height = 0;       // YD
    uint32_t stripe_rows = 0;  // L0
    uint32_t options = 0;      // MX, MY, order and options
    static constexpr auto fields =
        std::tuple{&Bih::layers, &Bih::width, &Bih::height, &Bih::stripe_rows, &Bih::options};
};

// One band of the page image; its compressed bytes follow the record.
struct BandRecord {
    static constexpr uint32_t type = record_type::band;
    std::array<uint8_t, 20> bih{};  // the band's Bih, as bytes
    uint32_t data_length = 0;       // compressed bytes
    uint32_t padded_length = 0;     // the same, brought up to a multiple of 16
    uint32_t reserved = 0;
    uint32_t first_row = 0;
    uint32_t plane = 0;
    uint32_t subplane = 0;
    static constexpr auto fields =
        std::tuple{&BandRecord::bih,       &BandRecord::data_length, &BandRecord::padded_length, &BandRecord::reserved,
                   &BandRecord::first_row, &BandRecord::plane,       &BandRecord::subplane};
};

namespace layout {

template <typename Field>
constexpr size_t byte_size()
{
    if constexpr (std::is_integral_v<Field>)
        return sizeof(Field);
    else
        return std::tuple_size_v<Field> * sizeof(typename Field::value_type);
}

template <typename Record, typename Field>
constexpr size_t member_size(Field Record::*)
{
    return byte_size<Field>();
}

template <typename Field>
constexpr uint8_t *put(uint8_t *out, const Field &value)
{
    if constexpr (std::is_same_v<Field, uint8_t>) {
        *out = value;
        return out + 1;
    } else if constexpr (std::is_same_v<Field, uint16_t>) {
        return put_u16(out, value);
    } else if constexpr (std::is_same_v<Field, uint32_t>) {
        return put_u32(out, value);
    } else {
        for (auto element : value)
            *out++ = static_cast<uint8_t>(element);
        return out;
    }
}

template <typename Field>
constexpr const uint8_t *get(const uint8_t *in, Field &value)
{
    if constexpr (std::is_same_v<Field, uint8_t>) {
        value = *in;
        return in + 1;
    } else if constexpr (std::is_same_v<Field, uint16_t>) {
        value = get_u16(in);
        return in + 2;
    } else if constexpr (std::is_same_v<Field, uint32_t>) {
        value = get_u32(in);
        return in + 4;
    } else {
        for (auto &element : value)
            element = static_cast<typename Field::value_type>(*in++);
        return in;
    }
}

}  // namespace layout

// A payload's size in the stream.
template <typename Record>
inline constexpr size_t payload_size =
    std::apply([](auto... members) { return (layout::member_size(members) + ...); }, Record::fields);

// Writes the record's fields in stream order at out; returns their end.
template <typename Record>
constexpr uint8_t *pack(uint8_t *out, const Record &record)
{
    std::apply([&](auto... members) { ((out = layout::put(out, record.*members)), ...); }, Record::fields);
    return out;
}

// Reads the record's fields from their stream bytes; returns their end.
template <typename Record>
constexpr const uint8_t *unpack(const uint8_t *in, Record &record)
{
    std::apply([&](auto... members) { ((in = layout::get(in, record.*members)), ...); }, Record::fields);
    return in;
}

template <typename Record>
constexpr std::array<uint8_t, payload_size<Record>> packed(const Record &record)
{
    std::array<uint8_t, payload_size<Record>> bytes{};
    pack(bytes.data(), record);
    return bytes;
}

// Every record type: its number, its name and the size of its payload.
struct RecordKind {
    uint32_t type;
    std::string_view name;
    size_t payload_size;
};
inline constexpr std::array<RecordKind, 15> record_kinds{{
    {record_type::file_name, "FILENAME", payload_size<FileNameRecord>},
    {record_type::end_document, "END_DOC", 0},
    {record_type::time, "TIME", payload_size<TimeRecord>},
    {record_type::other, "OTHER", payload_size<OtherRecord>},
    {record_type::duplex, "DUPLEX", payload_size<DuplexRecord>},
    {record_type::start_page, "START_PAGE", 0},
    {record_type::start_image, "START_IMAGE", 0},
    {record_type::end_image, "END_IMAGE", 0},
    {record_type::end_page, "END_PAGE", payload_size<EndPageRecord>},
    {record_type::source, "SOURCE", payload_size<SourceRecord>},
    {record_type::media, "MEDIA", payload_size<MediaRecord>},
    {record_type::copies, "COPIES", payload_size<CopiesRecord>},
    {record_type::paper, "PAPER", payload_size<PaperRecord>},
    {record_type::image, "IMAGE_MONO", payload_size<ImageRecord>},
    {record_type::band, "IMAGE_DATA", payload_size<BandRecord>},
}};

// The kind of a record type; nothing for a type the stream never has.
constexpr std::optional<RecordKind> record_kind(uint32_t type)
{
    for (const RecordKind &kind : record_kinds)
        if (kind.type == type)
            return kind;
    return std::nullopt;
}

// The name of a record type ("IMAGE_DATA"), "?" for an unknown one.
constexpr std::string_view record_name(uint32_t type)
{
    const std::optional<RecordKind> kind = record_kind(type);
    return kind ? kind->name : "?";
}

// Compile-time checks: the stream sizes, and that packing and unpacking stay
// within them (going past would make the expression non-constant).
template <typename Record>
constexpr bool packs_within_its_size()
{
    Record record{};
    std::array<uint8_t, payload_size<Record>> bytes{};
    return pack(bytes.data(), record) == bytes.data() + bytes.size() &&
           unpack(bytes.data(), record) == bytes.data() + bytes.size();
}
static_assert(payload_size<RecordHeader> == record_header_size && packs_within_its_size<RecordHeader>());
static_assert(payload_size<OtherRecord> == 66 && packs_within_its_size<OtherRecord>());
static_assert(payload_size<TimeRecord> == 48 && packs_within_its_size<TimeRecord>());
static_assert(payload_size<FileNameRecord> == 64 && packs_within_its_size<FileNameRecord>());
static_assert(payload_size<DuplexRecord> == 8 && packs_within_its_size<DuplexRecord>());
static_assert(payload_size<SourceRecord> == 4 && packs_within_its_size<SourceRecord>());
static_assert(payload_size<MediaRecord> == 68 && packs_within_its_size<MediaRecord>());
static_assert(payload_size<CopiesRecord> == 8 && packs_within_its_size<CopiesRecord>());
static_assert(payload_size<PaperRecord> == 16 && packs_within_its_size<PaperRecord>());
static_assert(payload_size<ImageRecord> == 44 && packs_within_its_size<ImageRecord>());
static_assert(payload_size<EndPageRecord> == 2 && packs_within_its_size<EndPageRecord>());
static_assert(payload_size<Bih> == 20 && packs_within_its_size<Bih>());
static_assert(payload_size<BandRecord> == 44 && packs_within_its_size<BandRecord>());
static_assert(get_u32(packed(DuplexRecord{0x04030201u, 0}).data()) == 0x04030201u &&
              packed(DuplexRecord{0x04030201u, 0})[0] == 1);

static_assert(record_length(0) == 16 && record_length(4) == 16 && record_length(66) == 80 &&
              record_length(68) == 80 && record_length(44) == 64);

}  // namespace quillet
