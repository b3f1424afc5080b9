#include "band_encoder.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <new>

extern "C" {
#include <jbig.h>
}

#include "oakt_tables.h"
#include "page_sequence.h"

namespace quillet {

namespace {

constexpr std::array<uint8_t, 256> bit_reversal = [] {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; i++) {
        unsigned reversed = 0;
        for (unsigned bit = 0; bit < 8; bit++)
            if (i & (1u << bit))
                reversed |= 0x80u >> bit;
        table[i] = static_cast<uint8_t>(reversed);
    }
    return table;
}();

// What libjbig hands out for one band: the 20-byte header first, in a piece
// of its own, then the coded data.
struct BandOutput {
    std::array<uint8_t, payload_size<Bih>> bih{};
    bool have_bih = false;
    std::vector<uint8_t> data;
    std::optional<std::string> error;
};

void collect(unsigned char *start, size_t length, void *context)
{
    auto &out = *static_cast<BandOutput *>(context);
    if (out.error)
        return;
    if (!out.have_bih) {
        if (length != payload_size<Bih>) {
            out.error = "First chunk must be BIH and 20 bytes long";
            return;
        }
        std::memcpy(out.bih.data(), start, payload_size<Bih>);
        out.have_bih = true;
        return;
    }
    try {
        out.data.insert(out.data.end(), start, start + length);
    } catch (const std::bad_alloc &) {
        out.error = "Can't allocate space for compressed data";
    }
}

}  // namespace

EncodedBand encode_band(std::span<uint8_t> bits, uint32_t width, uint32_t lines, uint32_t first_row)
{
    BandOutput output;
    unsigned char *planes[1] = {bits.data()};
    jbg_enc_state state;
    jbg_enc_init(&state, width, lines, 1, planes, collect, &output);
    jbg_enc_options(&state, jbig_order, jbig_options, lines, jbig_mx, jbig_my);
    jbg_enc_out(&state);
    jbg_enc_free(&state);

    EncodedBand band;
    if (output.error) {
        band.error = output.error;
        return band;
    }
    if (!output.have_bih) {
        band.error = "Program error: missing BIH at start of chain";
        return band;
    }
    swap_bih_sizes(output.bih);
    band.record.bih = output.bih;
    band.data = std::move(output.data);
    band.record.data_length = static_cast<uint32_t>(band.data.size());
    band.record.padded_length = static_cast<uint32_t>((band.data.size() + 15) & ~size_t{15});
    band.record.first_row = first_row;
    band.record.reserved = fixed::band_reserved;
    band.record.plane = fixed::band_plane;
    band.record.subplane = fixed::band_subplane;
    return band;
}

void write_band(RecordWriter &out, const EncodedBand &band)
{
    out.write(band.record);
    out.band_data(band.data, band.record.padded_length);
}

void mirror_row(std::span<uint8_t> row)
{
    std::reverse(row.begin(), row.end());
    for (uint8_t &byte : row)
        byte = bit_reversal[byte];
}

long online_processors()
{
    return sysconf(_SC_NPROCESSORS_ONLN);
}

unsigned encoder_threads(const char *setting, long online)
{
    if (setting) {
        unsigned value = 0;
        const char *end = setting + std::strlen(setting);
        auto [at, error] = std::from_chars(setting, end, value);
        if (error == std::errc{} && at == end && value >= 1 && value <= 64)
            return value;
    }
    return static_cast<unsigned>(std::clamp(online, 1L, 4L));
}

BandEncoder::BandEncoder(unsigned threads, BandCoder coder) : threads_(std::max(threads, 1u)), coder_(coder)
{
    if (threads_ > 1)
        for (unsigned i = 0; i < threads_; i++)
            workers_.emplace_back([this] { work(); });
}

BandEncoder::~BandEncoder()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread &worker : workers_)
        worker.join();
}

void BandEncoder::work()
{
    for (;;) {
        Band *band;
        {
            std::unique_lock lock(mutex_);
            work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            band = queue_.front();
            queue_.pop_front();
        }
        EncodedBand result = encode(*band);
        {
            std::lock_guard lock(mutex_);
            band->result = std::move(result);
            band->done = true;
        }
        band_done_.notify_all();
    }
}

EncodedBand BandEncoder::encode(Band &band) const
{
    try {
        return coder_(band.bits, band.width, band.lines, band.first_row);
    } catch (const std::bad_alloc &) {
        EncodedBand failed;
        failed.error = "Can't allocate space for compressed data";
        return failed;
    }
}

void BandEncoder::fail(std::string message)
{
    if (!error_)
        error_ = std::move(message);
}

void BandEncoder::begin_page(const PagePlan &plan, RecordWriter &out)
{
    plan_ = &plan;
    out_ = &out;
    rows_taken_ = 0;
    error_.reset();
    current_.reset();
}

std::span<uint8_t> BandEncoder::next_row()
{
    const size_t input_bytes = plan_->input_bytes_per_line;
    const size_t row_bytes = plan_->image_bytes_per_row;
    try {
        if (rows_taken_ >= plan_->image_height) {
            dropped_row_.resize(input_bytes);
            return dropped_row_;
        }
        if (!current_) {
            current_ = std::make_unique<Band>();
            current_->width = plan_->image_width;
            current_->first_row = rows_taken_;
            current_->lines = std::min(band_rows, plan_->image_height - rows_taken_);
            if (!spare_bits_.empty()) {
                current_->bits = std::move(spare_bits_.back());
                spare_bits_.pop_back();
            }
            // A raster row wider than the printed one runs on into the next
            // row's place, and past the last row into this spare room.
            current_->bits.resize(current_->lines * row_bytes +
                                  (input_bytes > row_bytes ? input_bytes - row_bytes : 0));
        }
    } catch (const std::bad_alloc &) {
        fail("Not enough memory to encode the page");
        return {};
    }
    std::span<uint8_t> room(current_->bits.data() + (rows_taken_ - current_->first_row) * row_bytes,
                            std::max(input_bytes, row_bytes));
    std::fill(room.begin(), room.end(), 0);
    return room.first(input_bytes);
}

void BandEncoder::commit_row()
{
    if (rows_taken_ >= plan_->image_height || !current_)
        return;
    const size_t row_bytes = plan_->image_bytes_per_row;
    if (plan_->mirror)
        mirror_row({current_->bits.data() + (rows_taken_ - current_->first_row) * row_bytes, row_bytes});
    rows_taken_++;
    if (rows_taken_ == current_->first_row + current_->lines)
        submit_current();
}

void BandEncoder::submit_current()
{
    Band &band = *current_;
    if (threads_ == 1) {
        band.result = encode(band);
        band.done = true;
        in_flight_.push_back(std::move(current_));
        write_finished(0);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(current_.get());
        in_flight_.push_back(std::move(current_));
    }
    work_ready_.notify_one();
    // Bands in flight are bounded, and so is the memory they hold.
    write_finished(2 * size_t{threads_});
}

// Writes the bands at the head of the page that are done, in order, then
// waits for more until no more than keep_in_flight are left.
void BandEncoder::write_finished(size_t keep_in_flight)
{
    while (!in_flight_.empty()) {
        Band &band = *in_flight_.front();
        {
            std::unique_lock lock(mutex_);
            if (!band.done) {
                if (in_flight_.size() <= keep_in_flight)
                    return;
                band_done_.wait(lock, [&band] { return band.done; });
            }
        }
        if (band.result.error)
            fail(*band.result.error);
        if (!error_)
            write_band(*out_, band.result);
        std::unique_ptr<Band> finished = std::move(in_flight_.front());
        in_flight_.pop_front();
        spare_bits_.push_back(std::move(finished->bits));
    }
}

std::optional<std::string> BandEncoder::end_page()
{
    while (rows_taken_ < plan_->image_height && !error_) {
        if (next_row().empty())
            break;
        commit_row();
    }
    write_finished(0);
    current_.reset();
    if (!error_ && out_->error())
        error_ = out_->error();
    return error_;
}

}  // namespace quillet
