#include "record_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillet {

namespace {

std::span<const uint8_t> filler(size_t length)
{
    static constexpr std::array<uint8_t, 16> bytes = [] {
        std::array<uint8_t, 16> made{};
        for (size_t i = 0; i < made.size(); i++)
            made[i] = static_cast<uint8_t>(record_filler[i]);
        return made;
    }();
    return std::span(bytes).first(length);
}


}  // namespace

bool FileSink::write(std::span<const uint8_t> bytes)
{
    return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
}

bool FileSink::flush()
{
    return std::fflush(file_) == 0;
}

void RecordWriter::put(std::span<const uint8_t> bytes, int step)
{
    if (error_ || bytes.empty())
        return;
    if (!sink_.write(bytes))
        error_ = "fwrite(" + std::to_string(step) + "): rc == 0!";
}

void RecordWriter::record(uint32_t type, std::span<const uint8_t> payload)
{
    const uint32_t length = record_length(static_cast<uint32_t>(payload.size()));
    put(packed(RecordHeader{record_magic, length, type}), 1);
    put(payload, 2);
    put(filler(length - payload.size() - record_header_size), 3);
}

void RecordWriter::band_data(std::span<const uint8_t> data, size_t padded_length)
{
    // In slices of 64 KiB, the unit the encoder's output was always written in.
    constexpr size_t slice = 0x10000;
    for (size_t at = 0; at < data.size(); at += slice)
        put(data.subspan(at, std::min(slice, data.size() - at)), 7);
    put(filler(padded_length - data.size()), 8);
}

bool RecordWriter::flush()
{
    return !error_ && sink_.flush();
}

TimeRecord time_record(time_t now)
{
    TimeRecord stamp{};
    char text[32];
    if (ctime_r(&now, text))
        std::memcpy(stamp.text.data(), text, std::min(std::strlen(text), stamp.text.size() - 1));
    stamp.seconds = static_cast<uint32_t>(static_cast<unsigned long long>(now) & 0xffffffffu);
    struct tm local;
    if (localtime_r(&now, &local)) {
        stamp.year = static_cast<uint16_t>(local.tm_year + 1900);
        stamp.month = static_cast<uint16_t>(local.tm_mon);
        stamp.day = static_cast<uint16_t>(local.tm_mday);
        stamp.hour = static_cast<uint16_t>(local.tm_hour);
        stamp.minute = static_cast<uint16_t>(local.tm_min);
        stamp.second = static_cast<uint16_t>(local.tm_sec);
    }
    return stamp;
}

namespace {

template <size_t N>
constexpr std::array<char, N> text_field(std::string_view text, char fill = '\0')
{
    std::array<char, N> field{};
    field.fill(fill);
    for (size_t i = 0; i < text.size() && i < N; i++)
        field[i] = text[i];
    return field;
}

}  // namespace

void write_document_start(RecordWriter &out, uint32_t duplex, time_t now)
{
    out.write(OtherRecord{1, text_field<64>("OTHER")});
    out.write(time_record(now));
    out.write(FileNameRecord{text_field<64>("stdin")});
    out.write(DuplexRecord{duplex, 0});
}

void write_page_start(RecordWriter &out, const PagePlan &plan)
{
    out.record(record_type::start_page);
    out.write(SourceRecord{plan.source});
    // The text is blank but for a NUL at its start.
    out.write(MediaRecord{static_cast<uint8_t>(plan.media), static_cast<uint8_t>(plan.density), {},
                          text_field<64>(std::string_view("\0", 1), ' ')});
    // One-sided is all ones: the duplex value less one.
    out.write(CopiesRecord{plan.copies, plan.duplex - 1});
    out.write(PaperRecord{plan.paper_code, plan.paper_width_1200, plan.paper_height_1200, 0});
    ImageRecord image;
    image.left_offset = plan.left_offset;
    image.top_offset = plan.top_offset;
    image.width = plan.image_width;
    image.height = plan.image_height;
    image.resolution_x = static_cast<uint32_t>(plan.resolution_x);
    image.resolution_y = static_cast<uint32_t>(plan.resolution_y);
    image.bits_per_pixel = 1;
    for (size_t i = 0; i < image.sequence.size(); i++)
        image.sequence[i] = static_cast<char>(i);
    out.write(image);
    out.record(record_type::start_image);
}

void write_page_end(RecordWriter &out)
{
    out.record(record_type::end_image);
    out.write(EndPageRecord{});
}

void write_document_end(RecordWriter &out)
{
    out.record(record_type::end_document);
}

}  // namespace quillet
