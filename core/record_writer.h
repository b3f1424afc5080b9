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

// What was being written when the sink took nothing more.
enum class WriteStep : int {
    record_header = 1,
    record_payload = 2,
    record_filler = 3,
    band_data = 7,
    band_filler = 8,
};
// The step as the stream's failure line names it, "fwrite(1): rc == 0!".
std::string failure_line(WriteStep step);
// The step in words, for the people who read the job's state.
std::string failure_sentence(WriteStep step);

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

    bool failed() const { return failed_step_.has_value(); }
    const std::optional<WriteStep> &failed_step() const { return failed_step_; }
    // The failed step's line, as "fwrite(1): rc == 0!".
    std::optional<std::string> error() const
    {
        return failed_step_ ? std::optional<std::string>(failure_line(*failed_step_)) : std::nullopt;
    }

private:
    void put(std::span<const uint8_t> bytes, WriteStep step);
    ByteSink &sink_;
    std::optional<WriteStep> failed_step_;
};

// The time-stamp record for a clock reading, in local time.  A reading the C
// library cannot render leaves the text or the date fields zero.
TimeRecord time_record(time_t now);

}  // namespace quillet
