// Reads an OAKT stream back through oaktdump's reader: splits it into records
// and page documents, checks it, and decodes the bands of every page.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "oakt_records.h"
#include "oakt_reader.h"

namespace quillet::test {

struct Record {
    size_t offset = 0;
    uint32_t len = 0;
    uint32_t type = 0;
    std::vector<uint8_t> body;  // len - 12 bytes: payload and filler
    std::vector<uint8_t> data;  // image-data records: the padlen bytes behind the record
};

struct Bitmap {
    unsigned w = 0, h = 0;
    std::vector<uint8_t> bits;  // h rows of (w + 7) / 8 bytes, MSB leftmost
    unsigned bpl() const { return (w + 7) / 8; }
    bool operator==(const Bitmap &) const = default;
};

// A page document as the reader gives it, with its records and its image.
struct PageDoc : quillet::PageDoc {
    std::vector<Record> records;
    Bitmap image;
    std::vector<uint32_t> types() const;
};

struct StreamError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Splits the stream into records, any run of whole records; throws
// StreamError on a broken frame.
std::vector<Record> split_records(std::span<const uint8_t> stream);

// Reads a whole stream into page documents with their decoded images;
// throws StreamError on the first rule the stream breaks.
std::vector<PageDoc> read_pages(std::span<const uint8_t> stream);

// Decodes one band: its record payload and the bytes behind it.
Bitmap decode_band(const BandRecord &rec, std::span<const uint8_t> data);

}  // namespace quillet::test
