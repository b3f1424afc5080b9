// What every page document is, whatever it prints: its records in order and
// the values of the fields that never change.  The writer (page_document)
// writes by it and the reader (oaktdump) checks by it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "oakt_records.h"

namespace quillet {

// A text field: the text, then fill to the field's end.
template <size_t N>
constexpr std::array<char, N> text_field(std::string_view text, char fill = '\0')
{
    std::array<char, N> field{};
    field.fill(fill);
    for (size_t i = 0; i < text.size() && i < N; i++)
        field[i] = text[i];
    return field;
}

// The fields every page document holds alike.
namespace fixed {
inline constexpr OtherRecord other{1, text_field<64>("OTHER")};
inline constexpr FileNameRecord file_name{text_field<64>("stdin")};
inline constexpr uint32_t duplex_short_edge = 0;
inline constexpr std::array<uint8_t, 2> media_reserved{};
// Blank but for a NUL at its start.
inline constexpr std::array<char, 64> media_text = text_field<64>(std::string_view("\0", 1), ' ');
inline constexpr uint32_t paper_reserved = 0;
inline constexpr uint32_t bits_per_pixel = 1;
inline constexpr std::array<char, 16> image_sequence = [] {
    std::array<char, 16> bytes{};
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = static_cast<char>(i);
    return bytes;
}();
inline constexpr EndPageRecord end_page{};
inline constexpr uint32_t band_reserved = 0;
inline constexpr uint32_t band_plane = 3;
inline constexpr uint32_t band_subplane = 0;
}  // namespace fixed

// One place in a page document's order.
struct SequenceStep {
    uint32_t type;
    // The record may come again and again, or not at all.
    bool repeats = false;
    // A document may leave out the records from here up to this step.
    std::optional<size_t> may_skip_to{};
};

// The document's four records; a page (its records, the image's bands) or
// none; the end of the document.
inline constexpr std::array<SequenceStep, 15> page_document_sequence{{
    {record_type::other},
    {record_type::time},
    {record_type::file_name},
    {record_type::duplex},
    {record_type::start_page, false, 14},
    {record_type::source},
    {record_type::media},
    {record_type::copies},
    {record_type::paper},
    {record_type::image},
    {record_type::start_image},
    {record_type::band, true},
    {record_type::end_image},
    {record_type::end_page},
    {record_type::end_document},
}};
static_assert(page_document_sequence[*page_document_sequence[4].may_skip_to].type == record_type::end_document);

// A record type as people read it: "20 (START_PAGE)".
inline std::string record_label(uint32_t type)
{
    return std::to_string(type) + " (" + std::string(record_name(type)) + ")";
}

// Where a run of page documents stands: which records may come next.
class RecordOrder {
public:
    // Takes a record of the given type; false when it may not come here,
    // and the place stays where it was.
    constexpr bool take(uint32_t type)
    {
        for (std::optional<size_t> step = next_; step; step = instead_of(*step)) {
            const SequenceStep &here = page_document_sequence[*step];
            if (here.type == type) {
                next_ = here.repeats ? *step : (*step + 1) % page_document_sequence.size();
                return true;
            }
        }
        return false;
    }
    // Between page documents: nothing begun, nothing left open.
    constexpr bool between_documents() const { return next_ == 0; }
    // The record types that may come next, as "20 (START_PAGE) or 11 (END_DOC)".
    std::string expected() const
    {
        std::string text;
        for (std::optional<size_t> step = next_; step; step = instead_of(*step))
            text += (text.empty() ? "" : " or ") + record_label(page_document_sequence[*step].type);
        return text;
    }

private:
    // The step whose record may come where this step's does not.
    static constexpr std::optional<size_t> instead_of(size_t step)
    {
        const SequenceStep &here = page_document_sequence[step];
        return here.repeats ? std::optional<size_t>(step + 1) : here.may_skip_to;
    }

    size_t next_ = 0;
};

}  // namespace quillet
