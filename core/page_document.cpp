#include "page_document.h"

#include "page_sequence.h"

namespace quillet {

namespace {

// What the records of one page document carry besides the fixed fields.
struct DocumentValues {
    uint32_t duplex = 0;
    time_t now = 0;
    const PagePlan *plan = nullptr;  // for the page's records
};

ImageRecord image_record(const PagePlan &plan)
{
    ImageRecord image;
    image.left_offset = plan.left_offset;
    image.top_offset = plan.top_offset;
    image.width = plan.image_width;
    image.height = plan.image_height;
    image.resolution_x = static_cast<uint32_t>(plan.resolution_x);
    image.resolution_y = static_cast<uint32_t>(plan.resolution_y);
    image.bits_per_pixel = fixed::bits_per_pixel;
    image.sequence = fixed::image_sequence;
    return image;
}

void write_record(RecordWriter &out, uint32_t type, const DocumentValues &values)
{
    const PagePlan *plan = values.plan;
    switch (type) {
    case record_type::other: out.write(fixed::other); break;
    case record_type::time: out.write(time_record(values.now)); break;
    case record_type::file_name: out.write(fixed::file_name); break;
    case record_type::duplex: out.write(DuplexRecord{values.duplex, fixed::duplex_short_edge}); break;
    case record_type::source: out.write(SourceRecord{plan->source}); break;
    case record_type::media:
        out.write(MediaRecord{static_cast<uint8_t>(plan->media), static_cast<uint8_t>(plan->density),
                              fixed::media_reserved, fixed::media_text});
        break;
    case record_type::copies:
        // The duplex value less one: all ones for one-sided.
        static_assert(uint32_t{0} - 1 == CopiesRecord::one_sided && uint32_t{1} - 1 == CopiesRecord::two_sided);
        out.write(CopiesRecord{plan->copies, plan->duplex - 1});
        break;
    case record_type::paper:
        out.write(PaperRecord{plan->paper_code, plan->paper_width_1200, plan->paper_height_1200,
                              fixed::paper_reserved});
        break;
    case record_type::image: out.write(image_record(*plan)); break;
    case record_type::end_page: out.write(fixed::end_page); break;
    default: out.record(type); break;  // the records without payload
    }
}

constexpr size_t step_of(uint32_t type)
{
    for (size_t step = 0; step < page_document_sequence.size(); step++)
        if (page_document_sequence[step].type == type)
            return step;
    return page_document_sequence.size();
}

// The records of the steps [first, end) in their order.  The bands, a
// step of their own, are the encoder's.
void write_steps(RecordWriter &out, size_t first, size_t end, const DocumentValues &values)
{
    for (size_t step = first; step < end; step++)
        write_record(out, page_document_sequence[step].type, values);
}

constexpr size_t page_step = step_of(record_type::start_page);
constexpr size_t band_step = step_of(record_type::band);
constexpr size_t end_step = step_of(record_type::end_document);
static_assert(page_step < band_step && band_step < end_step && end_step + 1 == page_document_sequence.size());

}  // namespace

void write_document_start(RecordWriter &out, uint32_t duplex, time_t now)
{
    write_steps(out, 0, page_step, {duplex, now, nullptr});
}

void write_page_start(RecordWriter &out, const PagePlan &plan)
{
    write_steps(out, page_step, band_step, {plan.duplex, 0, &plan});
}

void write_page_end(RecordWriter &out)
{
    write_steps(out, band_step + 1, end_step, {});
}

void write_document_end(RecordWriter &out)
{
    write_steps(out, end_step, page_document_sequence.size(), {});
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
