#include "raster_reader.h"

#include <cups/raster.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace quillet::app {

ptrdiff_t MemoryInput::read(std::span<uint8_t> room)
{
    const size_t count = std::min(room.size(), bytes_.size());
    std::copy_n(bytes_.begin(), count, room.begin());
    bytes_ = bytes_.subspan(count);
    return static_cast<ptrdiff_t>(count);
}

ptrdiff_t FileInput::read(std::span<uint8_t> room)
{
    for (;;) {
        const ssize_t got = ::read(fd_, room.data(), room.size());
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool zero_is_black(unsigned color_space)
{
    switch (color_space) {
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_RGBW:
    case CUPS_CSPACE_ADOBERGB: return true;
    default: return false;
    }
}

bool RasterReader::fail(std::string why)
{
    if (failure_.empty())
        failure_ = std::move(why);
    ended_ = true;
    page_open_ = false;
    return false;
}

bool RasterReader::fill()
{
    if (ended_)
        return false;
    if (at_ < end_)
        return true;
    const ptrdiff_t got = input_.read(buffer_);
    if (got < 0)
        return fail("the document could not be read");
    at_ = 0;
    end_ = static_cast<size_t>(got);
    return got > 0;
}

bool RasterReader::byte(uint8_t &value)
{
    if (at_ == end_ && !fill())
        return false;
    value = buffer_[at_++];
    return true;
}

bool RasterReader::bytes(uint8_t *to, size_t count)
{
    while (count) {
        if (at_ == end_ && !fill())
            return false;
        const size_t step = std::min(count, end_ - at_);
        std::memcpy(to, buffer_.data() + at_, step);
        at_ += step;
        to += step;
        count -= step;
    }
    return true;
}

bool RasterReader::start_row(bool &decode)
{
    if (!page_open_ || rows_left_ == 0)
        return fail("a page was read past its last row");
    rows_left_--;
    if (repeats_left_) {
        repeats_left_--;
        decode = false;
        return true;
    }
    uint8_t repeat = 0;
    if (!byte(repeat))
        return fail("the document is cut short: a page ends after " +
                    std::to_string(page_.height - rows_left_ - 1) + " of its " + std::to_string(page_.height) +
                    " rows");
    // A row's copies end with its page.
    repeats_left_ = std::min<unsigned>(repeat, rows_left_);
    decode = true;
    return true;
}

// One row, as sent (libcups's modified PackBits): a count of 0 to 127
// repeats the next pixel 1 to 128 times; 129 to 255 is followed by 128 to
// 2 literal pixels; 128 makes the rest of the row white.  A run longer
// than the rest of the row ends with the row.
bool RasterReader::decode_row(std::span<uint8_t> row)
{
    const size_t length = row.size();
    const uint8_t white = zero_is_black(page_.color_space) ? 0xff : 0x00;
    auto cut = [&] { return fail("the document is cut short in the middle of a row"); };
    for (size_t x = 0; x < length;) {
        uint8_t count = 0;
        if (!byte(count))
            return cut();
        if (count == 128) {
            std::memset(row.data() + x, white, length - x);
            break;
        }
        if (count & 128) {
            const size_t literal = std::min<size_t>(size_t{257u - count} * pixel_bytes_, length - x);
            if (!bytes(row.data() + x, literal))
                return cut();
            x += literal;
            continue;
        }
        const size_t repeated = std::min<size_t>(size_t{count + 1u} * pixel_bytes_, length - x);
        if (!bytes(row.data() + x, pixel_bytes_))
            return cut();
        if (pixel_bytes_ == 1) {
            std::memset(row.data() + x + 1, row[x], repeated - 1);
        } else {
            for (size_t copy = pixel_bytes_; copy < repeated; copy += pixel_bytes_)
                std::memcpy(row.data() + x + copy, row.data() + x, pixel_bytes_);
        }
        x += repeated;
    }
    return true;
}

// An 8-bit grey row decoded as its runs, literal pixels in place.
bool RasterReader::decode_grey_runs(GreyRow &row)
{
    row.runs.clear();
    row.grey.resize(page_.width);
    const size_t width = page_.width;
    const uint8_t white = zero_is_black(page_.color_space) ? 0xff : 0x00;
    auto cut = [&] { return fail("the document is cut short in the middle of a row"); };
    auto add = [&](size_t from, size_t count, bool literal, uint8_t grey) {
        row.runs.push_back({static_cast<uint32_t>(from), static_cast<uint32_t>(count), literal, grey});
    };
    for (size_t x = 0; x < width;) {
        uint8_t count = 0;
        if (!byte(count))
            return cut();
        if (count == 128) {
            // The rest of the row white, as the colour space has it.
            add(x, width - x, false, white);
            break;
        }
        if (count & 128) {
            const size_t pixels = std::min<size_t>(257u - count, width - x);
            if (!bytes(row.grey.data() + x, pixels))
                return cut();
            add(x, pixels, true, 0);
            x += pixels;
            continue;
        }
        const size_t pixels = std::min<size_t>(count + 1u, width - x);
        uint8_t grey = 0;
        if (!byte(grey))
            return cut();
        add(x, pixels, false, grey);
        x += pixels;
    }
    return true;
}

// The next row of an 8-bit page into the window (a row's copies share it).
bool RasterReader::decode_grey_ahead()
{
    bool decode = false;
    if (!start_row(decode))
        return false;
    std::shared_ptr<GreyRow> &slot = window_[rows_decoded_ % window_.size()];
    if (!decode) {
        slot = window_[(rows_decoded_ + window_.size() - 1) % window_.size()];
    } else {
        // Into a row no slot holds (the one this slot held may be the one).
        slot.reset();
        auto free = std::find_if(decoded_.begin(), decoded_.end(),
                                 [](const std::shared_ptr<GreyRow> &row) { return !row || row.use_count() == 1; });
        if (!*free)
            *free = std::make_shared<GreyRow>();
        GreyRow &row = **free;
        if (!decode_grey_runs(row))
            return false;
        row.greys = row.filled = false;
        const uint8_t white = blank_->runs[0].grey;
        bool blank = true;
        for (const Run &run : row.runs) {
            blank = blank && !run.literal && run.grey == white;
            if (run.literal) {
                const uint8_t *pixels = row.grey.data() + run.from;
                row.greys = row.greys || std::any_of(pixels, pixels + run.count,
                                                     [](uint8_t grey) { return grey != 0 && grey != 0xff; });
            } else {
                row.greys = row.greys || (run.grey != 0 && run.grey != 0xff);
            }
        }
        slot = blank ? blank_ : *free;
    }
    rows_decoded_++;
    return true;
}

void RasterReader::GreyRow::fill()
{
    if (filled)
        return;
    for (const Run &run : runs)
        if (!run.literal)
            std::memset(grey.data() + run.from, run.grey, run.count);
    filled = true;
}

// The runs of the row being given as black: a run of one grey its
// precomputed dots, literal pixels one by one.
void RasterReader::paint_runs(std::span<uint8_t> bits, const BlackRows &how, unsigned y) const
{
    std::fill(bits.begin(), bits.end(), 0);
    const GreyRow &row = *window_[rows_given_ % window_.size()];
    const uint8_t flip = how.ink_is_high ? 0xff : 0;
    const size_t width = std::min<size_t>(page_.width, bits.size() * 8);
    const std::array<uint8_t, 16> &thresholds = how.screen.thresholds(y);
    for (const Run &run : row.runs) {
        if (run.from >= width)
            break;
        const size_t count = std::min<size_t>(run.count, width - run.from);
        if (!run.literal) {
            add_run(bits, run.from, count, how.screen.dots(y, static_cast<uint8_t>(run.grey ^ flip)));
            continue;
        }
        for (size_t x = run.from; x < run.from + count; x++)
            bits[x / 8] |= static_cast<uint8_t>(((row.grey[x] ^ flip) < thresholds[x % 16]) << (7 - x % 8));
    }
}

// Lines thinner than a pixel or two, looked for in the runs that may hold
// one (keep_thin_lines()).
void RasterReader::keep_row_thin_lines(std::span<uint8_t> bits, const BlackRows &how)
{
    GreyRow &given = *window_[rows_given_ % window_.size()];
    if (!given.greys)
        return;
    RowsAround rows{};
    for (unsigned k = 0; k < rows.size(); k++) {
        const long row = long{rows_given_} + k - rows_ahead;
        GreyRow &around = row >= 0 && row < long{rows_decoded_} ? *window_[size_t(row) % window_.size()] : *blank_;
        around.fill();
        rows[k] = around.grey.data();
    }
    const size_t width = std::min<size_t>(page_.width, bits.size() * 8);
    const uint8_t to_ink = how.ink_is_high ? 0 : 0xff;
    for (const Run &run : given.runs) {
        if (run.from >= width)
            break;
        // White, black and the faintest greys hold no line; within a run
        // of one grey three or more wide, no pixel is the middle of a line
        // across the row.
        if (!run.literal && !may_be_thin_line(run.grey ^ to_ink))
            continue;
        keep_thin_lines(rows, width, run.from, std::min<size_t>(run.count, width - run.from),
                        run.literal || run.count <= 2, how.ink_is_high, bits);
    }
}

bool RasterReader::next_grey_row()
{
    if (rows_given_ >= page_.height)
        return fail("a page was read past its last row");
    // The rows before a row that breaks the stream are still given.
    while (rows_decoded_ < std::min(rows_given_ + rows_ahead + 1, page_.height))
        if (!decode_grey_ahead())
            break;
    return rows_given_ < rows_decoded_;
}

bool RasterReader::read_row(std::span<uint8_t> row)
{
    if (page_.bits_per_pixel == 8) {
        if (!next_grey_row())
            return false;
        GreyRow &given = *window_[rows_given_++ % window_.size()];
        given.fill();
        std::copy_n(given.grey.begin(), std::min(row.size(), given.grey.size()), row.begin());
        return true;
    }
    bool decode = false;
    if (!start_row(decode))
        return false;
    if (decode && !decode_row(row_))
        return false;
    std::copy_n(row_.begin(), std::min(row.size(), row_.size()), row.begin());
    return true;
}

bool RasterReader::read_black_row(std::span<uint8_t> bits, const BlackRows &how, unsigned y)
{
    const bool grey = page_.bits_per_pixel == 8;
    if (!grey && page_.bits_per_pixel != 1)
        return fail("a page of " + std::to_string(page_.bits_per_pixel) + "-bit pixels was read as black");
    bits = bits.first(std::min<size_t>(bits.size(), (page_.width + 7) / 8));
    if (grey) {
        if (!next_grey_row())
            return false;
        // A row's copies are painted again: the halftone differs from row
        // to row.
        paint_runs(bits, how, y);
        keep_row_thin_lines(bits, how);
        rows_given_++;
        return true;
    }
    bool decode = false;
    if (!start_row(decode))
        return false;
    if (decode && !decode_row(row_))
        return false;
    std::copy_n(row_.begin(), bits.size(), bits.begin());
    if (const unsigned spare = page_.width % 8; spare && bits.size() == (page_.width + 7) / 8)
        bits.back() &= static_cast<uint8_t>(0xffu << (8 - spare));
    return true;
}

}  // namespace quillet::app
