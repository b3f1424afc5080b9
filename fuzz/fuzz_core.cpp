// libFuzzer harness at the encoding core's own interface: a page header and
// the thread count from the first bytes, rows from the rest, the stream into
// memory.  Every page that is planned must come out as a whole page document
// of the planned size, for any thread count.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "band_encoder.h"
#include "page_plan.h"
#include "record_writer.h"

namespace {

uint32_t take(const uint8_t *&data, size_t &size)
{
    uint32_t value = 0;
    size_t n = size < 4 ? size : 4;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace quillet;
    PageHeader header;
    uint32_t shape = take(data, size);
    header.width = take(data, size) % 4096 + (shape & 1 ? 0 : 1);
    header.height = take(data, size) % 2048;
    header.bytes_per_line = (header.width + 7) / 8 + (shape & 2 ? 1 : 0);
    header.bits_per_pixel = shape & 4 ? 8 : 1;
    static const uint32_t resolutions[] = {0, 1, 75, 300, 360, 600, 1200, 0xFFFFFDA8u};
    header.resolution_x = resolutions[(shape >> 3) & 7];
    header.resolution_y = resolutions[(shape >> 6) & 7];
    header.length_points = take(data, size) % 1200;
    header.media_type = shape >> 9 & 15;
    header.compression = shape >> 13 & 7;
    header.duplex = shape >> 16 & 1;
    header.mirror = shape >> 17 & 1;
    const unsigned threads = 1 + (shape >> 18 & 3);
    // Any clock reading, also ones the calendar cannot hold.
    const time_t now = static_cast<time_t>(static_cast<int64_t>(take(data, size)) << (shape >> 20 & 31));

    PlanResult planned = plan_page(header, 1, PlanLimits{1u << 20});
    if (!planned.plan)
        return 0;
    const PagePlan &plan = *planned.plan;
    MemorySink sink;
    RecordWriter writer(sink);
    write_document_start(writer, plan.duplex, now);
    write_page_start(writer, plan);
    BandEncoder encoder(threads);
    encoder.begin_page(plan, writer);
    // Rows from the input as far as it goes; the rest stay blank.
    for (uint32_t y = 0; y < plan.input_height && size > 0; y++) {
        std::span<uint8_t> room = encoder.next_row();
        if (room.size() != plan.input_bytes_per_line)
            std::abort();
        size_t n = room.size() < size ? room.size() : size;
        std::memcpy(room.data(), data, n);
        data += n;
        size -= n;
        encoder.commit_row();
    }
    if (encoder.end_page())
        std::abort();
    write_page_end(writer);
    write_document_end(writer);
    // Document and page records, one record per band, the closing records.
    size_t bands = (plan.image_height + 255) / 256;
    size_t records = 0;
    const std::vector<uint8_t> &out = sink.bytes();
    for (size_t at = 0; at + 12 <= out.size(); records++) {
        uint32_t length = out[at + 4] | out[at + 5] << 8 | out[at + 6] << 16 | uint32_t(out[at + 7]) << 24;
        if (out[at + 8] == 60)
            at += out[at + 36] | out[at + 37] << 8 | out[at + 38] << 16 | uint32_t(out[at + 39]) << 24;
        at += length;
    }
    if (records != 4 + 7 + bands + 3)
        std::abort();
    return 0;
}
