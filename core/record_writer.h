// Writing the OAKT stream: byte sinks, the record writer, and the records of
// a page document.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "oakt_records.h"
#include "page_plan.h"

namespace quillet {

// Where the stream goes.  write() takes all the bytes or fails.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(std::span<const uint8_t> bytes) = 0;
    virtual bool flush() { return true; }
};

// A C stream, one fwrite per call.
class FileSink final : public ByteSink {
public:
    explicit FileSink(FILE *file) : file_(file) {}
    bool write(std::span<const uint8_t> bytes) override;
    bool flush() override;

private:
    FILE *file_;
};

// Memory, for tests and in-process front ends.
class MemorySink final : public ByteSink {
public:
    bool write(std::span<const uint8_t> bytes) override
    {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return true;
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// Writes records to a sink.  The first write that fails is remembered with
// the step that failed, and nothing more is written after it.
class RecordWriter {
public:
    explicit RecordWriter(ByteSink &sink) : sink_(sink) {}

    // Header, payload and filler up to a multiple of 16 bytes.
    void record(uint32_t type, std::span<const uint8_t> payload = {});
    // A record of one of the payload types, packed.
    template <typename Record>
    void write(const Record &payload)
    {
        record(Record::type, packed(payload));
    }
    // A band's compressed bytes behind its image-data record, then filler up
    // to padded_length.
    void band_data(std::span<const uint8_t> data, size_t padded_length);
    // Hands what the sink holds on; false when that fails.
    bool flush();

    bool failed() const { return error_.has_value(); }
    // The failed step, as "fwrite(1): rc == 0!".
    const std::optional<std::string> &error() const { return error_; }

private:
    void put(std::span<const uint8_t> bytes, int step);
    ByteSink &sink_;
    std::optional<std::string> error_;
};

// The time-stamp record for a clock reading, in local time.  A reading the C
// library cannot render leaves the text or the date fields zero.
TimeRecord time_record(time_t now);

// The four records that open a page document.
void write_document_start(RecordWriter &out, uint32_t duplex, time_t now);
// The page records up to the start of the image.
void write_page_start(RecordWriter &out, const PagePlan &plan);
// End of image and end of page.
void write_page_end(RecordWriter &out);
// End of the page document.
void write_document_end(RecordWriter &out);

}  // namespace quillet
