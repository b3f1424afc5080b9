// The page image, encoded band by band as its rows arrive.  Each band of up
// to 256 rows is one complete JBIG image; bands are encoded on worker threads
// and written in page order behind their image-data records.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "oakt_records.h"
#include "page_plan.h"
#include "record_writer.h"

namespace quillet {

// One band after encoding: its record and the compressed bytes behind it.
struct EncodedBand {
    BandRecord record{};
    std::vector<uint8_t> data;
    std::optional<std::string> error;
};

// Encodes bits, lines rows of (width + 7) / 8 bytes that start at row
// first_row of the image.  The bits are not changed.
EncodedBand encode_band(std::span<uint8_t> bits, uint32_t width, uint32_t lines, uint32_t first_row);
// How a band encoder encodes each band: encode_band, or a stand-in that
// fails, for the tests of what follows a failure.
using BandCoder = EncodedBand (*)(std::span<uint8_t> bits, uint32_t width, uint32_t lines, uint32_t first_row);
// The band's record, its bytes and filler.
void write_band(RecordWriter &out, const EncodedBand &band);

// Reverses the pixels of a row in place.
void mirror_row(std::span<uint8_t> row);

// The processors online.
long online_processors();
// Encoder threads from a setting such as QUILLET_THREADS: a number from 1 to
// 64, else the online processors, at most 4.
unsigned encoder_threads(const char *setting, long online = online_processors());

class BandEncoder {
public:
    // threads 1 encodes on the caller's thread; more start that many workers.
    explicit BandEncoder(unsigned threads, BandCoder coder = encode_band);
    ~BandEncoder();
    BandEncoder(const BandEncoder &) = delete;
    BandEncoder &operator=(const BandEncoder &) = delete;

    // Starts a page whose bands go to out.
    void begin_page(const PagePlan &plan, RecordWriter &out);
    // Room for the next raster row: input_bytes_per_line bytes, cleared.
    // Empty when memory ran out; end_page() then says so.
    std::span<uint8_t> next_row();
    // Takes the row filled into the room next_row() gave: cuts it to the
    // printed width and mirrors it; rows below the printed height are dropped.
    void commit_row();
    // Rows that never came are blank.  Encodes and writes what is left, every
    // band in page order; returns the first failure of the page, the
    // encoder's or the writer's.
    std::optional<std::string> end_page();

private:
    struct Band {
        uint32_t width = 0, first_row = 0, lines = 0;
        std::vector<uint8_t> bits;  // its rows, (width + 7) / 8 bytes each
        EncodedBand result;
        bool done = false;
    };

    EncodedBand encode(Band &band) const;
    void submit_current();
    void write_finished(size_t keep_in_flight);
    void work();
    void fail(std::string message);

    const unsigned threads_;
    const BandCoder coder_;
    std::mutex mutex_;
    std::condition_variable work_ready_, band_done_;
    std::deque<Band *> queue_;                   // waiting for a worker
    std::deque<std::unique_ptr<Band>> in_flight_;  // page order, not yet written
    std::vector<std::vector<uint8_t>> spare_bits_;
    bool stopping_ = false;

    const PagePlan *plan_ = nullptr;
    RecordWriter *out_ = nullptr;
    std::unique_ptr<Band> current_;
    std::vector<uint8_t> dropped_row_;
    uint32_t rows_taken_ = 0;  // printed rows committed so far
    std::optional<std::string> error_;

    std::vector<std::thread> workers_;
};

}  // namespace quillet
