#include "page_document.h"

#include <array>
#include <string_view>

namespace quillet {

namespace {

template <size_t N>
constexpr std::array<char, N> text_field(std::string_view text, char fill = '\0')
{
    std::array<char, N> field{};
    field.fill(fill);
    for (size_t i = 0; i < text.size() && i < N; i++)
        field[i] = text[i];
    return field;
}

}  // namespace

void write_document_start(RecordWriter &out, uint32_t duplex, time_t now)
{
    out.write(OtherRecord{1, text_field<64>("OTHER")});
    out.write(time_record(now));
    out.write(FileNameRecord{text_field<64>("stdin")});
    out.write(DuplexRecord{duplex, 0});
}

void write_page_start(RecordWriter &out, const PagePlan &plan)
{
    out.record(record_type::start_page);
    out.write(SourceRecord{plan.source});
    // The text is blank but for a NUL at its start.
    out.write(MediaRecord{static_cast<uint8_t>(plan.media), static_cast<uint8_t>(plan.density), {},
                          text_field<64>(std::string_view("\0", 1), ' ')});
    // The duplex value less one: all ones for one-sided.
    static_assert(uint32_t{0} - 1 == CopiesRecord::one_sided && uint32_t{1} - 1 == CopiesRecord::two_sided);
    out.write(CopiesRecord{plan.copies, plan.duplex - 1});
    out.write(PaperRecord{plan.paper_code, plan.paper_width_1200, plan.paper_height_1200, 0});
    ImageRecord image;
    image.left_offset = plan.left_offset;
    image.top_offset = plan.top_offset;
    image.width = plan.image_width;
    image.height = plan.image_height;
    image.resolution_x = static_cast<uint32_t>(plan.resolution_x);
    image.resolution_y = static_cast<uint32_t>(plan.resolution_y);
    image.bits_per_pixel = 1;
    for (size_t i = 0; i < image.sequence.size(); i++)
        image.sequence[i] = static_cast<char>(i);
    out.write(image);
    out.record(record_type::start_image);
}

void write_page_end(RecordWriter &out)
{
    out.record(record_type::end_image);
    out.write(EndPageRecord{});
}

void write_document_end(RecordWriter &out)
{
    out.record(record_type::end_document);
}

PageDocument::PageDocument(RecordWriter &out, BandEncoder &encoder, const PagePlan &plan, time_t now)
    : out_(out), encoder_(encoder), plan_(plan)
{
    write_document_start(out_, plan_.duplex, now);
    write_page_start(out_, plan_);
    encoder_.begin_page(plan_, out_);
}

PageDocument::~PageDocument()
{
    close();
}

std::optional<std::string> PageDocument::close()
{
    if (closed_)
        return *closed_;
    std::optional<std::string> failure = encoder_.end_page();
    if (!failure) {
        write_page_end(out_);
        write_document_end(out_);
        failure = out_.error();
    }
    closed_ = failure;
    return failure;
}

}  // namespace quillet
