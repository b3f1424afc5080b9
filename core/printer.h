// The printer, described once: its paper sizes, media types, densities and
// resolutions, its IEEE 1284 device ID and what it prints of a sheet.  The
// PPD is generated from this at build time, the printer application takes
// its media, types and margins from it, and oaktdump its names.  Adding a
// paper size is one line in paper_sizes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet {

inline constexpr std::string_view printer_make = "Quillet";
inline constexpr std::string_view printer_model = "Mono Laser";
inline constexpr std::string_view make_and_model = "Quillet Mono Laser";
// How the printer names itself on USB, and how CUPS and the printer
// application find their driver for it.
inline constexpr std::string_view device_id = "MFG:Quillet;MDL:Mono Laser;CMD:OAKT;CLS:PRINTER;";
// The command set in the device ID that this driver speaks.
inline constexpr std::string_view command_set = "OAKT";

// What the printer prints of a sheet: its top-left part, in inches.
inline constexpr float printable_width_inches = 8.26f;
inline constexpr float printable_height_inches = 11.69f;
// A page larger than that is cut to its top-left part less this much of
// the vertical resolution, on each axis it exceeds.
inline constexpr double cut_margin_inches = 0.236;

inline constexpr std::array<unsigned, 3> resolutions{300, 600, 1200};
inline constexpr unsigned default_resolution = 600;

// Pages a minute, the printer's speed.
inline constexpr unsigned pages_per_minute = 20;
// The printer's one paper source: its IPP name, and its code in the records.
inline constexpr std::string_view paper_source = "main";
inline constexpr uint32_t paper_source_code = 7;

// The paper sizes the printer has codes for; it chooses the code by the
// page's length alone.  Margins are the PPD's, in points.
struct PaperSize {
    std::string_view ppd_name;  // the PPD's PageSize choice
    std::string_view name;      // as people call it
    std::string_view pwg_name;  // PWG 5101.1
    unsigned width_points, length_points;
    uint32_t code;
    float left, bottom, right, top;
};
inline constexpr std::array<PaperSize, 8> paper_sizes{{
    {"A4", "A4", "iso_a4_210x297mm", 595, 842, 9, 2, 1, 2, 0},
    {"A5", "A5", "iso_a5_148x210mm", 420, 595, 11, 2, 1, 2, 0},
    {"B5", "B5 (JIS)", "jis_b5_182x257mm", 516, 729, 13, 2, 1, 2, 0},
    {"Letter", "Letter", "na_letter_8.5x11in", 612, 792, 1, 10.5, 0, 10.5, 0},
    {"Executive", "Executive", "na_executive_7.25x10.5in", 522, 756, 7, 2, 1, 2, 0},
    {"EnvMonarch", "Envelope Monarch", "na_monarch_3.875x7.5in", 279, 540, 37, 2, 1, 2, 0},
    {"EnvDL", "Envelope DL", "iso_dl_110x220mm", 312, 624, 27, 2, 1, 2, 0},
    {"EnvC5", "Envelope C5", "iso_c5_162x229mm", 459, 649, 28, 2, 1, 2, 0},
}};
inline constexpr const PaperSize &default_paper = paper_sizes[0];

// The printer centres every image on the width of an A4 sheet as it counts
// it on its 300 dpi grid (2480 dots), in 1/1200 inch.
inline constexpr uint32_t centring_width_1200 = 2480 * 4;
static_assert(paper_sizes[0].ppd_name == "A4" &&
              centring_width_1200 / 4 - paper_sizes[0].width_points * 300 / 72 <= 1);
// Any other length.
inline constexpr uint32_t user_defined_paper = 256;

// Custom sizes: from 3 x 5 inches up to the Letter width and the longest
// page printed whole, in points.
struct CustomSizes {
    unsigned min_width, min_length, max_width, max_length;
    std::string_view min_pwg_name, max_pwg_name;
    float left, bottom, right, top;  // the PPD's hardware margins
};
inline constexpr CustomSizes custom_sizes{216, 360, 612, 841, "custom_min_76.2x127mm", "custom_max_215.9x296.6mm",
                                          10.5, 0, 10.5, 0};

constexpr uint32_t paper_code_for_length(unsigned length_points)
{
    for (const PaperSize &size : paper_sizes)
        if (size.length_points == length_points)
            return size.code;
    return user_defined_paper;
}

constexpr std::string_view paper_name(uint32_t code)
{
    for (const PaperSize &size : paper_sizes)
        if (size.code == code)
            return size.name;
    return code == user_defined_paper ? "user-defined size" : "unknown paper";
}

// Media types by their code 0 to 9, as cupsMediaType carries them.  The IPP
// keyword is PWG's standard one where one exists, the printer's own
// otherwise; CUPS derives the same ones from the PPD's choice names.
struct MediaType {
    std::string_view ppd_name;  // the PPD's MediaType choice
    std::string_view name;      // as people call it
    std::string_view keyword;   // IPP media-type
};
inline constexpr std::array<MediaType, 10> media_types{{
    {"Plain", "Plain Paper", "stationery"},
    {"StationeryArchival", "Archive Paper", "stationery-archival"},
    {"Kraft80", "Kraft Paper 80 g", "kraft-80"},
    {"Kraft120", "Kraft Paper 120 g", "kraft-120"},
    {"Kraft200", "Kraft Paper 200 g", "kraft-200"},
    {"Kraft250", "Kraft Paper 250 g", "kraft-250"},
    {"Label160", "Label Stock 160 g", "label-160"},
    {"Label180", "Label Stock 180 g", "label-180"},
    {"Labels", "Label Stock", "labels"},
    {"Tracing", "Tracing Paper", "tracing"},
}};

constexpr std::optional<int> media_code_for_keyword(std::string_view keyword)
{
    for (size_t code = 0; code < media_types.size(); code++)
        if (media_types[code].keyword == keyword)
            return static_cast<int>(code);
    return std::nullopt;
}

// Print densities 0 to 4; cupsCompression carries them as 2 to 6.
inline constexpr std::array<std::string_view, 5> density_names{"Lightest", "Light", "Normal", "Dark", "Darkest"};
inline constexpr int density_levels = static_cast<int>(density_names.size());
inline constexpr int normal_density = 2;
inline constexpr unsigned density_in_compression = 2;  // what cupsCompression adds to the level

// A name in lower case, as oaktdump lists it.
inline std::string lower_case(std::string_view name)
{
    std::string lower(name);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

}  // namespace quillet
