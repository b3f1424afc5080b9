// libFuzzer harness at the encoding core's own interface: a page's settings
// and raster, the thread count and a band that fails from the first bytes,
// rows from the rest, the stream into memory.  A page the plan takes must come out as a
// valid page document whose decoded image is the rows fed (cut, padded and
// mirrored as planned), or, when a band fails, with nothing after the bands
// before it.  Most inputs run on the calling thread; one in eight on
// workers.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "band_encoder.h"
#include "oakt_reader.h"
#include "oakt_tables.h"
#include "page_document.h"
#include "page_plan.h"
#include "record_writer.h"

namespace {

using namespace quillet;

uint32_t take(const uint8_t *&data, size_t &size)
{
    uint32_t value = 0;
    size_t n = size < 4 ? size : 4;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

// The first row of the band that fails this run, or none.
uint32_t failing_row = UINT32_MAX;

EncodedBand encode_or_fail(std::span<uint8_t> rows, uint32_t width, uint32_t lines, uint32_t first_row)
{
    if (first_row == failing_row) {
        EncodedBand failed;
        failed.error = "planted failure";
        return failed;
    }
    return encode_band(rows, width, lines, first_row);
}

// The decoded rows of the stream's one page.
class Image final : public quillet::StreamListener {
public:
    void rows(const quillet::PageDoc &, const BandRecord &, std::span<const uint8_t> bits) override
    {
        bytes.insert(bytes.end(), bits.begin(), bits.end());
    }
    std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PrintSettings settings;
    RasterGeometry raster;
    uint32_t shape = take(data, size);
    raster.width = take(data, size) % 4096 + (shape & 1 ? 0 : 1);
    raster.height = take(data, size) % 2048;
    raster.bytes_per_line = (raster.width + 7) / 8 + (shape & 2 ? 1 : 0);
    raster.bits_per_pixel = shape & 4 ? 8 : 1;
    // Rows beyond what the input holds are blank: a band and more of them
    // is enough, and keeps each run short.
    const uint32_t rows_given = raster.bytes_per_line ? static_cast<uint32_t>(size / raster.bytes_per_line) : 0;
    raster.height = std::min(raster.height, rows_given + 300);
    static const uint32_t resolutions[] = {0, 1, 75, 300, 360, 600, 1200, 0xFFFFFDA8u};
    settings.resolution_x = resolutions[(shape >> 3) & 7];
    settings.resolution_y = resolutions[(shape >> 6) & 7];
    settings.length_points = take(data, size) % 1200;
    settings.media = static_cast<int>(shape >> 9 & 15);
    settings.density = static_cast<int>(shape >> 13 & 7) - 2;
    settings.duplex = shape >> 16 & 1;
    settings.mirror = shape >> 17 & 1;
    const bool on_workers = (shape >> 18 & 7) == 7;
    // Any clock reading, also ones the calendar cannot hold.
    const time_t now = static_cast<time_t>(static_cast<int64_t>(take(data, size)) << (shape >> 21 & 31));
    const uint32_t failing_band = shape >> 26 & 15;  // 8 and more: none fails
    failing_row = failing_band < 8 ? failing_band * band_rows : UINT32_MAX;

    PlanResult planned = plan_page(settings, raster, 1);
    if (!planned.plan) {
        if (planned.refusal.rfind("Page 1 ", 0) != 0)
            std::abort();
        return 0;
    }
    const PagePlan &plan = *planned.plan;
    static BandEncoder alone(1, encode_or_fail), workers(3, encode_or_fail);
    MemorySink sink;
    RecordWriter writer(sink);
    std::vector<uint8_t> fed(size_t{plan.image_height} * plan.image_bytes_per_row, 0);
    std::optional<std::string> failure;
    {
        PageDocument document(writer, on_workers ? workers : alone, plan, now);
        // Rows from the input as far as it goes; the rest stay blank.
        for (uint32_t y = 0; y < plan.input_height && size > 0; y++) {
            std::span<uint8_t> room = document.next_row();
            if (room.size() != plan.input_bytes_per_line)
                std::abort();
            size_t n = room.size() < size ? room.size() : size;
            std::memcpy(room.data(), data, n);
            if (y < plan.image_height)
                std::memcpy(fed.data() + size_t{y} * plan.image_bytes_per_row, data,
                            n < plan.image_bytes_per_row ? n : plan.image_bytes_per_row);
            data += n;
            size -= n;
            document.commit_row();
        }
        failure = document.close();
    }

    const size_t bands = (plan.image_height + band_rows - 1) / band_rows;
    const bool fails = failing_row < plan.image_height;
    if (fails != failure.has_value())
        std::abort();
    const quillet::Frames frames = quillet::split_frames(sink.bytes());
    // A failed page stops after the bands before the failed one.
    if (frames.violation || frames.frames.size() != (fails ? 4 + 7 + failing_band : 4 + 7 + bands + 3))
        std::abort();
    if (fails)
        return 0;
    Image image;
    if (quillet::read_stream(sink.bytes(), image))
        std::abort();
    if (plan.mirror)
        for (uint32_t y = 0; y < plan.image_height; y++)
            mirror_row({fed.data() + size_t{y} * plan.image_bytes_per_row, plan.image_bytes_per_row});
    if (image.bytes != fed)
        std::abort();
    return 0;
}
