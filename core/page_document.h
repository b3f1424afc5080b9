// One page document, the unit the printer prints: the document's records
// and the page's when it opens, the image row by row, and the records that
// end the image, the page and the document when it closes.  Every front end
// and tool writes its pages through it.
#pragma once

#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "band_encoder.h"
#include "page_plan.h"
#include "record_writer.h"

namespace quillet {

// The records of a page document, in the order PageDocument writes them.
// The four records that open a page document.
void write_document_start(RecordWriter &out, uint32_t duplex, time_t now);
// The page records up to the start of the image.
void write_page_start(RecordWriter &out, const PagePlan &plan);
// End of image and end of page.
void write_page_end(RecordWriter &out);
// End of the page document.
void write_document_end(RecordWriter &out);

class PageDocument {
public:
    // Writes the records up to the image; its bands go through encoder.
    PageDocument(RecordWriter &out, BandEncoder &encoder, const PagePlan &plan, time_t now);
    // A page document left open is closed: the rest of its rows blank.
    ~PageDocument();
    PageDocument(const PageDocument &) = delete;
    PageDocument &operator=(const PageDocument &) = delete;

    // Whether a write has failed: nothing more reaches the printer.
    bool failed() const { return out_.failed(); }
    // Room for the next raster row, cleared; empty when memory ran out.
    std::span<uint8_t> next_row() { return encoder_.next_row(); }
    // Takes the row filled into the room next_row() gave.
    void commit_row() { encoder_.commit_row(); }
    // Rows that never came are blank.  Writes the rest of the image and the
    // records that end the page and the document; returns the first failure
    // of the page document, the encoder's or the writer's.
    std::optional<std::string> close();

    const PagePlan &plan() const { return plan_; }

private:
    RecordWriter &out_;
    BandEncoder &encoder_;
    const PagePlan plan_;  // the encoder holds on to it
    std::optional<std::optional<std::string>> closed_;
};

}  // namespace quillet
