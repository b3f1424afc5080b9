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

std::string failure_line(WriteStep step)
{
    return "fwrite(" + std::to_string(static_cast<int>(step)) + "): rc == 0!";
}

std::string failure_sentence(WriteStep step)
{
    const char *what = "";
    switch (step) {
    case WriteStep::record_header: what = "a record's header"; break;
    case WriteStep::record_payload: what = "a record's contents"; break;
    case WriteStep::record_filler: what = "a record's filler"; break;
    case WriteStep::band_data: what = "a band's compressed image"; break;
    case WriteStep::band_filler: what = "a band's filler"; break;
    }
    return std::string("the output took no more of the printer's stream (at ") + what + ").";
}

void RecordWriter::put(std::span<const uint8_t> bytes, WriteStep step)
{
    if (failed_step_ || bytes.empty())
        return;
    if (!sink_.write(bytes))
        failed_step_ = step;
}

void RecordWriter::record(uint32_t type, std::span<const uint8_t> payload)
{
    const uint32_t length = record_length(static_cast<uint32_t>(payload.size()));
    put(packed(RecordHeader{record_magic, length, type}), WriteStep::record_header);
    put(payload, WriteStep::record_payload);
    put(filler(length - payload.size() - record_header_size), WriteStep::record_filler);
}

void RecordWriter::band_data(std::span<const uint8_t> data, size_t padded_length)
{
    // In slices of 64 KiB, the unit the encoder's output was always written in.
    constexpr size_t slice = 0x10000;
    for (size_t at = 0; at < data.size(); at += slice)
        put(data.subspan(at, std::min(slice, data.size() - at)), WriteStep::band_data);
    put(filler(padded_length - data.size()), WriteStep::band_filler);
}

bool RecordWriter::flush()
{
    return !failed_step_ && sink_.flush();
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

}  // namespace quillet
