// The tables of the OAKT stream that every front end and reader shares: paper
// codes, media and density names, the JBIG options of every band and the byte
// order of a band's JBIG header.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "oakt_records.h"

namespace quillet {

// The printer's paper codes, chosen by the page length in points.
struct PaperSize {
    unsigned length_points;
    DWORD code;
    std::string_view name;
};
inline constexpr std::array<PaperSize, 8> paper_sizes{{
    {540, 37, "Envelope Monarch"},
    {595, 11, "A5"},
    {624, 27, "Envelope DL"},
    {649, 28, "Envelope C5"},
    {729, 13, "B5 (JIS)"},
    {756, 7, "Executive"},
    {792, 1, "Letter"},
    {842, 9, "A4"},
}};
inline constexpr DWORD user_defined_paper = 256;

constexpr DWORD paper_code_for_length(unsigned length_points)
{
    for (const PaperSize &size : paper_sizes)
        if (size.length_points == length_points)
            return size.code;
    return user_defined_paper;
}

constexpr std::string_view paper_name(DWORD code)
{
    for (const PaperSize &size : paper_sizes)
        if (size.code == code)
            return size.name;
    return code == user_defined_paper ? "user-defined size" : "unknown paper";
}

// Media codes 0 to 9, as cupsMediaType carries them.
inline constexpr std::array<std::string_view, 10> media_names{
    "plain paper",       "archive paper",     "kraft paper 80 g",  "kraft paper 120 g", "kraft paper 200 g",
    "kraft paper 250 g", "label stock 160 g", "label stock 180 g", "label stock",       "tracing paper"};

// The IPP media-type keywords of the media codes: PWG's standard keyword
// where one exists, the printer's own otherwise.  CUPS derives the same ones
// from the PPD's MediaType choice names.
inline constexpr std::array<std::string_view, 10> media_keywords{
    "stationery", "stationery-archival", "kraft-80",  "kraft-120", "kraft-200",
    "kraft-250",  "label-160",           "label-180", "labels",    "tracing"};

constexpr std::optional<int> media_code_for_keyword(std::string_view keyword)
{
    for (size_t code = 0; code < media_keywords.size(); code++)
        if (media_keywords[code] == keyword)
            return static_cast<int>(code);
    return std::nullopt;
}

// Density levels 0 to 4; cupsCompression carries them as 2 to 6.
inline constexpr std::array<std::string_view, 5> density_names{"lightest", "light", "normal", "dark", "darkest"};
inline constexpr int density_levels = 5;
inline constexpr int normal_density = 2;

// Every band is one JBIG image of one stripe: order ILEAVE|SMID, the two-line
// template, TPBON and TPDON, delayed template moves, MX 16, MY 0, and L0 equal
// to the band's rows.
inline constexpr int jbig_order = 3;
inline constexpr int jbig_options = 0x158;
inline constexpr int jbig_mx = 16;
inline constexpr int jbig_my = 0;
inline constexpr unsigned band_rows = 256;

// The two fixed words of every band's header as the stream holds them.
inline constexpr DWORD band_bih_opt1 = 0x00010000u;
inline constexpr DWORD band_bih_opt2 = 0x58030010u;

// T.82 stores XD, YD and L0 most significant byte first; the stream holds
// them little-endian.  Reversing the three fields turns either form into the
// other.
constexpr void swap_bih_sizes(std::span<unsigned char, OAKBIH_SIZE> bih)
{
    for (size_t field = 4; field < 16; field += 4) {
        std::swap(bih[field], bih[field + 3]);
        std::swap(bih[field + 1], bih[field + 2]);
    }
}

}  // namespace quillet
