// PWG raster and Apple raster, as IPP clients send them, read page by page.
//
// Both are run-length coded: each row starts with a count of further
// copies of it, then runs of one pixel repeated or of literal pixels.  A
// text page is mostly long runs of white, so rows are made into the
// printer's 1-bit black here, a run at a time: a run of one grey becomes
// its halftone's precomputed dots, set a byte at a time; literal pixels are
// screened one by one.
//
// The stream comes from the network: every count is checked against the
// row and the page, every header against the limits below, and a stream
// that breaks them ends with the reason.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "halftone.h"

namespace quillet::app {

// Where the stream's bytes come from.
class RasterInput {
public:
    virtual ~RasterInput() = default;
    // Fills the front of room; 0 at the end, negative on failure.
    virtual ptrdiff_t read(std::span<uint8_t> room) = 0;
};

class MemoryInput final : public RasterInput {
public:
    explicit MemoryInput(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    ptrdiff_t read(std::span<uint8_t> room) override;

private:
    std::span<const uint8_t> bytes_;
};

// Reads an open file from where it stands; the descriptor stays open.
class FileInput final : public RasterInput {
public:
    explicit FileInput(int fd) : fd_(fd) {}
    ptrdiff_t read(std::span<uint8_t> room) override;

private:
    int fd_;
};

// A page's header, as far as printing needs it.  The colour space is
// libcups's numbering (cups_cspace_t).
struct RasterPageHeader {
    unsigned width = 0, height = 0;  // pixels
    unsigned resolution_x = 0, resolution_y = 0;
    unsigned bits_per_pixel = 0;
    unsigned color_space = 0;
    unsigned bytes_per_line = 0;
    unsigned total_pages = 0;  // 0: not said
    bool duplex = false, tumble = false;
};

// Colour spaces (cups_cspace_t) whose 0 is black and 255 white.
bool zero_is_black(unsigned color_space);

// How a row becomes 1-bit black.
struct BlackRows {
    Screen screen;             // how greys become dots
    bool ink_is_high = false;  // 8-bit: 255 is black (colour space K)
};

class RasterReader {
public:
    // The widest row taken, in bytes: far more than any paper the printer
    // takes at 1200 dpi in 32-bit colour.
    static constexpr unsigned max_bytes_per_line = 1u << 20;

    explicit RasterReader(RasterInput &input) : input_(input) {}

    // The next page's header, after the rest of the page before it; none at
    // the end of the stream or when the stream is malformed (failure()).
    std::optional<RasterPageHeader> next_page();

    // The page's next row as it was sent, bytes_per_line bytes.  False when
    // the stream ends or breaks first (failure()).
    bool read_row(std::span<uint8_t> row);

    // The page's next row as 1-bit black of the page's width, most
    // significant bit leftmost, into the front of bits ((width + 7) / 8
    // bytes), padding bits white.  y is the row's number on the page, for
    // the halftone.  Only for 1-bit black and 8-bit grey pages.
    bool read_black_row(std::span<uint8_t> bits, const BlackRows &how, unsigned y);

    // Why the stream ended early or was refused; empty at a clean end.
    const std::string &failure() const { return failure_; }

private:
    bool fill();
    bool byte(uint8_t &value);
    bool bytes(uint8_t *to, size_t count);
    bool fail(std::string why);
    bool start_row(bool &decode);
    bool decode_row(std::span<uint8_t> row);
    struct GreyRow;
    bool decode_grey_runs(GreyRow &row);
    bool decode_grey_ahead();
    bool next_grey_row();
    void paint_runs(std::span<uint8_t> bits, const BlackRows &how, unsigned y) const;
    void keep_row_thin_lines(std::span<uint8_t> bits, const BlackRows &how);

    RasterInput &input_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
    size_t at_ = 0, end_ = 0;
    bool stream_started_ = false, apple_ = false, big_endian_ = true, ended_ = false;
    std::string failure_;

    RasterPageHeader page_;
    bool page_open_ = false;
    unsigned pixel_bytes_ = 1;     // bytes of one pixel in the runs
    unsigned rows_left_ = 0;       // of the page
    unsigned repeats_left_ = 0;    // copies still due of the last row
    std::vector<uint8_t> row_;     // the last row decoded, as sent
    // A run of an 8-bit row, as sent.
    struct Run {
        uint32_t from, count;
        bool literal;  // its greys in the row's pixels
        uint8_t grey;
    };
    // 8-bit rows are decoded two ahead of the row given, so that a line
    // thinner than a pixel or two, which a client that smooths edges sends
    // as a faint grey, is seen across the rows it lies on and printed
    // unbroken: each row's runs and every pixel, the row given in the
    // middle.  A row's copies and blank rows share one row's pixels; the
    // runs of one grey are filled in only around a row that holds a grey
    // other than black and white.
    struct GreyRow {
        std::vector<Run> runs;
        std::vector<uint8_t> grey;  // literal pixels; the rest once filled
        bool greys = false;         // a grey other than black and white
        bool filled = false;
        void fill();
    };
    static constexpr unsigned rows_ahead = 2;
    std::array<std::shared_ptr<GreyRow>, 2 * rows_ahead + 1> window_;
    // The rows the window may hold, one more than it has slots: one is
    // always free to decode into.
    std::array<std::shared_ptr<GreyRow>, 2 * rows_ahead + 2> decoded_;
    std::shared_ptr<GreyRow> blank_;  // the page's white row, and beyond the page
    unsigned rows_decoded_ = 0, rows_given_ = 0;
};

}  // namespace quillet::app
