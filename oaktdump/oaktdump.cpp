// oaktdump: lists, checks and decodes an OAKT printer stream.
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "oakt_reader.h"
#include "oakt_tables.h"
#include "page_files.h"

namespace {

using namespace quillet;

const char *Usage =
    "usage: oaktdump [--quiet] [--pages DIR [--png]] FILE\n"
    "  FILE          the OAKT stream, or - for standard input\n"
    "  --quiet       print only the page summaries and the verdict\n"
    "  --pages DIR   write each page as DIR/page-NNNN.pbm\n"
    "  --png         with --pages, write DIR/page-NNNN.png too\n";

std::string paper_name(uint32_t code)
{
    return std::string(quillet::paper_name(code));
}

std::string media_name(unsigned code)
{
    return code < quillet::media_types.size() ? quillet::lower_case(quillet::media_types[code].name) : "unknown media";
}

std::string density_name(unsigned level)
{
    return level < quillet::density_names.size() ? quillet::lower_case(quillet::density_names[level])
                                                : "unknown density";
}

std::string sides_name(uint32_t duplex)
{
    if (duplex == quillet::CopiesRecord::one_sided)
        return "one-sided";
    if (duplex == quillet::CopiesRecord::two_sided)
        return "two-sided";
    return "unknown sides (" + std::to_string(duplex) + ")";
}

std::string mm(double units1200)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", units1200 * 25.4 / 1200.0);
    return text;
}

template <size_t N>
std::string fixed_text(const std::array<char, N> &field)
{
    return std::string(field.data(), strnlen(field.data(), N));
}

class Dump : public quillet::StreamListener {
public:
    Dump(bool quiet, std::unique_ptr<quillet::PageFiles> files) : quiet_(quiet), files_(std::move(files)) {}

    void record(const quillet::Frame &f, const quillet::PageDoc &doc) override
    {
        if (files_ && f.hdr.type == record_type::image)
            files_->begin(doc.number, doc.geometry.width, doc.geometry.height);
        if (quiet_)
            return;
        char head[64];
        snprintf(head, sizeof head, "%10llu  %2u %-12s %3u", (unsigned long long)f.offset, f.hdr.type,
                 quillet::record_name(f.hdr.type).data(), f.hdr.length);
        std::string text = contents(f, doc);
        std::cout << head << (text.empty() ? "" : "  ") << text << "\n";
    }

    void rows(const quillet::PageDoc &, const BandRecord &, std::span<const uint8_t> bits) override
    {
        if (files_)
            files_->rows(bits);
    }

    void page_end(const quillet::PageDoc &doc) override
    {
        if (files_ && doc.has_image)
            files_->end();
        pages_++;
        const ImageRecord &image = doc.geometry;
        std::cout << "page " << doc.number << ": ";
        if (!doc.has_image) {
            std::cout << "no image (document records only)\n";
            return;
        }
        uint64_t raw = uint64_t((image.width + 7) / 8) * image.height;
        char ratio[32] = "-";
        if (doc.compressed)
            snprintf(ratio, sizeof ratio, "%.1f:1", double(raw) / double(doc.compressed));
        std::cout << paper_name(doc.paper.code) << " " << mm(doc.paper.width_1200) << " x " << mm(doc.paper.height_1200)
                  << " mm, image " << image.width << " x " << image.height << " px at " << image.resolution_x << " x "
                  << image.resolution_y << " dpi, "
                  << doc.bands.size() << " bands, " << doc.compressed << " bytes compressed, ratio " << ratio
                  << "\n";
    }

    int pages() const { return pages_; }
    quillet::PageFiles *files() { return files_.get(); }

private:
    static std::string contents(const quillet::Frame &f, const quillet::PageDoc &doc)
    {
        const ImageRecord &image = doc.geometry;
        switch (f.hdr.type) {
        case record_type::other: return "text \"" + fixed_text(doc.other.text) + "\"";
        case record_type::time: {
            const TimeRecord &t = doc.time;
            std::string text = fixed_text(t.text);
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            char date[64];
            snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month + 1, t.day,
                     t.hour, t.minute, t.second);
            return "\"" + text + "\", clock " + std::to_string(t.seconds) + ", local time " + date;
        }
        case record_type::file_name: return "name \"" + fixed_text(doc.file_name.name) + "\"";
        case record_type::duplex: return "duplex " + std::to_string(doc.duplex.duplex);
        case record_type::source: return "source " + std::to_string(doc.source);
        case record_type::media:
            return "media " + std::to_string(doc.media.media) + " (" + media_name(doc.media.media) + "), density " +
                   std::to_string(doc.media.density) + " (" + density_name(doc.media.density) + ")";
        case record_type::copies:
            return "copies " + std::to_string(doc.copies.copies) + ", " + sides_name(doc.copies.duplex);
        case record_type::paper:
            return "paper " + std::to_string(doc.paper.code) + " (" + paper_name(doc.paper.code) + "), " +
                   std::to_string(doc.paper.width_1200) + " x " + std::to_string(doc.paper.height_1200) +
                   " /1200 in = " +
                   mm(doc.paper.width_1200) + " x " + mm(doc.paper.height_1200) + " mm";
        case record_type::image:
            return "image " + std::to_string(image.width) + " x " + std::to_string(image.height) + " px at " +
                   std::to_string(image.resolution_x) + " x " + std::to_string(image.resolution_y) + " dpi, placed " +
                   std::to_string(image.left_offset) + ", " + std::to_string(image.top_offset) +
                   " /1200 in = " + mm(image.left_offset) + ", " +
                   mm(image.top_offset) + " mm from the left and top";
        case record_type::band: {
            BandRecord rec;
            unpack(f.payload.data(), rec);
            Bih bih;
            unpack(rec.bih.data(), bih);
            return "band at row " + std::to_string(rec.first_row) + ", " + std::to_string(bih.height) + " rows, " +
                   std::to_string(rec.data_length) + " bytes compressed, " + std::to_string(rec.padded_length) +
                   " padded";
        }
        case record_type::end_page: return "end page 0";
        default: return "";
        }
    }

    bool quiet_;
    std::unique_ptr<quillet::PageFiles> files_;
    int pages_ = 0;
};

int usage(const std::string &why)
{
    std::cerr << "oaktdump: " << why << "\n" << Usage;
    return 2;
}

}  // namespace

int main(int argc, char *argv[])
{
    bool quiet = false, png = false;
    std::string pages_dir, file;
    bool have_file = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--png") {
            png = true;
        } else if (arg == "--pages") {
            if (++i == argc)
                return usage("--pages needs a folder");
            pages_dir = argv[i];
        } else if (arg == "--help" || arg == "-h") {
            std::cout << Usage;
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (have_file) {
            return usage("more than one file");
        } else {
            file = arg;
            have_file = true;
        }
    }
    if (!have_file)
        return usage("no file given");
    if (png && pages_dir.empty())
        return usage("--png needs --pages");

    std::vector<uint8_t> stream;
    if (file == "-") {
        stream.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::cerr << "oaktdump: cannot open " << file << ": " << strerror(errno) << "\n";
            return 2;
        }
        stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::unique_ptr<quillet::PageFiles> files;
    if (!pages_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(pages_dir, ec);
        if (ec) {
            std::cerr << "oaktdump: cannot create " << pages_dir << ": " << ec.message() << "\n";
            return 2;
        }
        files = std::make_unique<quillet::PageFiles>(pages_dir, png);
    }

    Dump dump(quiet, std::move(files));
    if (!quiet)
        std::cout << "    offset  type            len  contents\n";
    std::optional<quillet::Violation> violation = quillet::read_stream(stream, dump);
    if (dump.files() && !dump.files()->error().empty()) {
        std::cerr << "oaktdump: " << dump.files()->error() << "\n";
        return 2;
    }
    if (violation) {
        std::cout << "invalid: " << violation->message() << "\n";
        return 1;
    }
    std::cout << "valid: " << dump.pages() << (dump.pages() == 1 ? " page, " : " pages, ") << stream.size()
              << " bytes\n";
    return 0;
}
