#include "page_document.h"

namespace quillet {

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
