#include "record_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quillet {

namespace {

std::span<const uint8_t> filler(size_t length)
{
    return {reinterpret_cast<const uint8_t *>(OAK_PAD), length};
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

void RecordWriter::record(DWORD type, std::span<const uint8_t> payload)
{
    const DWORD length = oak_record_len(static_cast<DWORD>(payload.size()));
    std::array<uint8_t, OAK_HDR_SIZE> head{};
    OAK_HDR hdr{};
    std::memcpy(hdr.magic, OAK_MAGIC, sizeof hdr.magic);
    hdr.len = length;
    hdr.type = type;
    oak_pack_hdr(head.data(), hdr);
    put(head, 1);
    put(payload, 2);
    put(filler(length - payload.size() - OAK_HDR_SIZE), 3);
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

OAK_TIME time_record(time_t now)
{
    OAK_TIME stamp{};
    char text[32];
    if (ctime_r(&now, text))
        std::memcpy(stamp.datetime, text, std::min(std::strlen(text), sizeof stamp.datetime - 1));
    stamp.seconds = static_cast<DWORD>(static_cast<unsigned long long>(now) & 0xffffffffu);
    struct tm local;
    if (localtime_r(&now, &local)) {
        stamp.year = static_cast<WORD>(local.tm_year + 1900);
        stamp.tm_mon = static_cast<WORD>(local.tm_mon);
        stamp.tm_mday = static_cast<WORD>(local.tm_mday);
        stamp.tm_hour = static_cast<WORD>(local.tm_hour);
        stamp.tm_min = static_cast<WORD>(local.tm_min);
        stamp.tm_sec = static_cast<WORD>(local.tm_sec);
    }
    return stamp;
}

void write_document_start(RecordWriter &out, DWORD duplex, time_t now)
{
    OAK_OTHER other{};
    other.kind = 1;
    std::strcpy(other.string, "OTHER");
    std::array<uint8_t, OAK_OTHER_SIZE> other_bytes;
    oak_pack_other(other_bytes.data(), other);
    out.record(OAK_TYPE_OTHER, other_bytes);

    std::array<uint8_t, OAK_TIME_SIZE> time_bytes;
    oak_pack_time(time_bytes.data(), time_record(now));
    out.record(OAK_TYPE_TIME, time_bytes);

    OAK_FILENAME name{};
    std::strcpy(name.string, "stdin");
    std::array<uint8_t, OAK_FILENAME_SIZE> name_bytes;
    oak_pack_filename(name_bytes.data(), name);
    out.record(OAK_TYPE_FILENAME, name_bytes);

    std::array<uint8_t, OAK_DUPLEX_SIZE> duplex_bytes;
    oak_pack_duplex(duplex_bytes.data(), OAK_DUPLEX{duplex, 0});
    out.record(OAK_TYPE_DUPLEX, duplex_bytes);
}

void write_page_start(RecordWriter &out, const PagePlan &plan)
{
    out.record(OAK_TYPE_START_PAGE);

    std::array<uint8_t, OAK_SOURCE_SIZE> source;
    put_dword(source.data(), plan.source);
    out.record(OAK_TYPE_SOURCE, source);

    OAK_MEDIA media{};
    media.media = static_cast<BYTE>(plan.media);
    media.density = static_cast<BYTE>(plan.density);
    std::memset(media.string, ' ', sizeof media.string);
    media.string[0] = '\0';
    std::array<uint8_t, OAK_MEDIA_SIZE> media_bytes;
    oak_pack_media(media_bytes.data(), media);
    out.record(OAK_TYPE_MEDIA, media_bytes);

    // One-sided is all ones: the duplex value less one.
    std::array<uint8_t, OAK_COPIES_SIZE> copies;
    oak_pack_copies(copies.data(), OAK_COPIES{plan.copies, plan.duplex - 1});
    out.record(OAK_TYPE_COPIES, copies);

    std::array<uint8_t, OAK_PAPER_SIZE> paper;
    oak_pack_paper(paper.data(), OAK_PAPER{plan.paper_code, plan.paper_width_1200, plan.paper_height_1200, 0});
    out.record(OAK_TYPE_PAPER, paper);

    OAK_IMAGE_MONO mono{};
    mono.plane.left_offset = plan.left_offset;
    mono.plane.top_offset = plan.top_offset;
    mono.plane.w = plan.image_width;
    mono.plane.h = plan.image_height;
    mono.plane.resx = static_cast<DWORD>(plan.resolution_x);
    mono.plane.resy = static_cast<DWORD>(plan.resolution_y);
    mono.plane.nbits = 1;
    for (char i = 0; i < 16; i++)
        mono.plane.sequence[static_cast<size_t>(i)] = i;
    std::array<uint8_t, OAK_IMAGE_MONO_SIZE> mono_bytes;
    oak_pack_image_mono(mono_bytes.data(), mono);
    out.record(OAK_TYPE_IMAGE_MONO, mono_bytes);

    out.record(OAK_TYPE_START_IMAGE);
}

void write_page_end(RecordWriter &out)
{
    out.record(OAK_TYPE_END_IMAGE);
    std::array<uint8_t, OAK_END_PAGE_SIZE> end_page{};
    out.record(OAK_TYPE_END_PAGE, end_page);
}

void write_document_end(RecordWriter &out)
{
    out.record(OAK_TYPE_END_DOC);
}

}  // namespace quillet
