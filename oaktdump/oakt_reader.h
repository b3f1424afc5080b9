// Reads an OAKT stream: splits it into records, checks every rule a valid
// stream keeps, and decodes the bands of each page with libjbig's decoder.
//
// Two layers: split_frames() checks only the framing (magic, length rule,
// filler, alignment, band data and its filler, truncation) and works on any
// run of records; read_stream() also checks the record order of each page
// document, the bands against the image and the fixed fields, decodes the
// bands, and reports what it reads to a StreamListener.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "oakt_records.h"

namespace quillet {

// The first rule a stream breaks, where it breaks it.
struct Violation {
    uint64_t offset = 0;
    std::string rule;    // short name of the rule
    std::string detail;  // what was found
    std::string message() const;
};

// One record of the stream.
struct Frame {
    uint64_t offset = 0;
    RecordHeader hdr{};
    std::span<const uint8_t> payload;  // the type's payload, without filler
    std::span<const uint8_t> data;     // image-data records: the compressed bytes behind the record
};

struct Frames {
    std::vector<Frame> frames;
    std::optional<Violation> violation;  // the frames before it are complete
};

Frames split_frames(std::span<const uint8_t> stream);

// A page document as far as it has been read.
struct PageDoc {
    int number = 0;         // from 1
    uint64_t offset = 0;    // of its first record
    OtherRecord other{};
    TimeRecord time{};
    FileNameRecord file_name{};
    DuplexRecord duplex{};
    bool has_image = false;  // page records present, not only the document records
    uint32_t source = 0;
    MediaRecord media{};
    CopiesRecord copies{};
    PaperRecord paper{};
    ImageRecord geometry{};  // the page image: placement, size, resolution
    std::vector<BandRecord> bands;
    uint64_t compressed = 0;  // band bytes, without filler
};

class StreamListener {
public:
    virtual ~StreamListener() = default;
    // Every record, after its checks passed.
    virtual void record(const Frame &, const PageDoc &) {}
    // The decoded rows of a band: rows of (w + 7) / 8 bytes, MSB leftmost.
    virtual void rows(const PageDoc &, const BandRecord &, std::span<const uint8_t>) {}
    // A page document's end-of-document record.
    virtual void page_end(const PageDoc &) {}
};

struct ReadOptions {
    bool decode = true;  // decode every band (a band that does not decode breaks a rule)
    // Largest image the reader decodes: wider or larger images break a rule.
    uint64_t max_width = uint64_t(1) << 20;
    uint64_t max_pixels = uint64_t(1) << 32;
};

// Reads the whole stream; returns the first violation, or nullopt when the
// stream is valid.  The listener has seen everything before the violation.
std::optional<Violation> read_stream(std::span<const uint8_t> stream, StreamListener &listener,
                                     const ReadOptions &options = {});

// Decodes one band from its record and compressed bytes; the error text
// when libjbig refuses it.
struct DecodedBand {
    std::vector<uint8_t> bits;
    unsigned long width = 0, height = 0;
    std::string error;
};
DecodedBand decode_band(const BandRecord &rec, std::span<const uint8_t> data);

}  // namespace quillet
