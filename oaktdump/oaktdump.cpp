// oaktdump: lists, checks and decodes an OAKT printer stream.
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

const char *Usage =
    "usage: oaktdump [--quiet] [--pages DIR [--png]] FILE\n"
    "  FILE          the OAKT stream, or - for standard input\n"
    "  --quiet       print only the page summaries and the verdict\n"
    "  --pages DIR   write each page as DIR/page-NNNN.pbm\n"
    "  --png         with --pages, write DIR/page-NNNN.png too\n";

std::string paper_name(DWORD code)
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

std::string sides_name(DWORD duplex)
{
    if (duplex == 0xFFFFFFFFu)
        return "one-sided";
    if (duplex == 0)
        return "two-sided";
    return "unknown sides (" + std::to_string(duplex) + ")";
}

std::string mm(double units1200)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", units1200 * 25.4 / 1200.0);
    return text;
}

std::string fixed_text(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

class Dump : public oakt::StreamListener {
public:
    Dump(bool quiet, std::unique_ptr<oakt::PageFiles> files) : quiet_(quiet), files_(std::move(files)) {}

    void record(const oakt::Frame &f, const oakt::PageDoc &doc) override
    {
        if (files_ && f.hdr.type == OAK_TYPE_IMAGE_MONO)
            files_->begin(doc.number, doc.mono.plane.w, doc.mono.plane.h);
        if (quiet_)
            return;
        char head[64];
        snprintf(head, sizeof head, "%10llu  %2u %-12s %3u", (unsigned long long)f.offset, f.hdr.type,
                 oakt::type_name(f.hdr.type), f.hdr.len);
        std::string text = contents(f, doc);
        std::cout << head << (text.empty() ? "" : "  ") << text << "\n";
    }

    void rows(const oakt::PageDoc &, const OAK_IMAGE_DATA &, std::span<const uint8_t> bits) override
    {
        if (files_)
            files_->rows(bits);
    }

    void page_end(const oakt::PageDoc &doc) override
    {
        if (files_ && doc.has_image)
            files_->end();
        pages_++;
        const OAK_IMAGE_PLANE &p = doc.mono.plane;
        std::cout << "page " << doc.number << ": ";
        if (!doc.has_image) {
            std::cout << "no image (document records only)\n";
            return;
        }
        uint64_t raw = uint64_t((p.w + 7) / 8) * p.h;
        char ratio[32] = "-";
        if (doc.compressed)
            snprintf(ratio, sizeof ratio, "%.1f:1", double(raw) / double(doc.compressed));
        std::cout << paper_name(doc.paper.paper) << " " << mm(doc.paper.w1200) << " x " << mm(doc.paper.h1200)
                  << " mm, image " << p.w << " x " << p.h << " px at " << p.resx << " x " << p.resy << " dpi, "
                  << doc.bands.size() << " bands, " << doc.compressed << " bytes compressed, ratio " << ratio
                  << "\n";
    }

    int pages() const { return pages_; }
    oakt::PageFiles *files() { return files_.get(); }

private:
    static std::string contents(const oakt::Frame &f, const oakt::PageDoc &doc)
    {
        const OAK_IMAGE_PLANE &p = doc.mono.plane;
        switch (f.hdr.type) {
        case OAK_TYPE_OTHER: return "text \"" + fixed_text(doc.other.string, 64) + "\"";
        case OAK_TYPE_TIME: {
            const OAK_TIME &t = doc.time;
            std::string text = fixed_text(t.datetime, 32);
            if (!text.empty() && text.back() == '\n')
                text.pop_back();
            char date[64];
            snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.tm_mon + 1, t.tm_mday,
                     t.tm_hour, t.tm_min, t.tm_sec);
            return "\"" + text + "\", clock " + std::to_string(t.seconds) + ", local time " + date;
        }
        case OAK_TYPE_FILENAME: return "name \"" + fixed_text(doc.filename.string, 64) + "\"";
        case OAK_TYPE_DUPLEX: return "duplex " + std::to_string(doc.duplex.duplex);
        case OAK_TYPE_SOURCE: return "source " + std::to_string(doc.source);
        case OAK_TYPE_MEDIA:
            return "media " + std::to_string(doc.media.media) + " (" + media_name(doc.media.media) + "), density " +
                   std::to_string(doc.media.density) + " (" + density_name(doc.media.density) + ")";
        case OAK_TYPE_COPIES:
            return "copies " + std::to_string(doc.copies.copies) + ", " + sides_name(doc.copies.duplex);
        case OAK_TYPE_PAPER:
            return "paper " + std::to_string(doc.paper.paper) + " (" + paper_name(doc.paper.paper) + "), " +
                   std::to_string(doc.paper.w1200) + " x " + std::to_string(doc.paper.h1200) + " /1200 in = " +
                   mm(doc.paper.w1200) + " x " + mm(doc.paper.h1200) + " mm";
        case OAK_TYPE_IMAGE_MONO:
            return "image " + std::to_string(p.w) + " x " + std::to_string(p.h) + " px at " +
                   std::to_string(p.resx) + " x " + std::to_string(p.resy) + " dpi, placed " +
                   std::to_string(p.left_offset) + ", " + std::to_string(p.top_offset) + " /1200 in = " + mm(p.left_offset) + ", " +
                   mm(p.top_offset) + " mm from the left and top";
        case OAK_TYPE_IMAGE_DATA: {
            OAK_IMAGE_DATA rec;
            oak_unpack_image_data(f.payload.data(), rec);
            return "band at row " + std::to_string(rec.y) + ", " + std::to_string(rec.bih.yd) + " rows, " +
                   std::to_string(rec.datalen) + " bytes compressed, " + std::to_string(rec.padlen) + " padded";
        }
        case OAK_TYPE_END_PAGE: return "end page 0";
        default: return "";
        }
    }

    bool quiet_;
    std::unique_ptr<oakt::PageFiles> files_;
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
    std::string pagesDir, file;
    bool haveFile = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--png") {
            png = true;
        } else if (arg == "--pages") {
            if (++i == argc)
                return usage("--pages needs a folder");
            pagesDir = argv[i];
        } else if (arg == "--help" || arg == "-h") {
            std::cout << Usage;
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (haveFile) {
            return usage("more than one file");
        } else {
            file = arg;
            haveFile = true;
        }
    }
    if (!haveFile)
        return usage("no file given");
    if (png && pagesDir.empty())
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

    std::unique_ptr<oakt::PageFiles> files;
    if (!pagesDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(pagesDir, ec);
        if (ec) {
            std::cerr << "oaktdump: cannot create " << pagesDir << ": " << ec.message() << "\n";
            return 2;
        }
        files = std::make_unique<oakt::PageFiles>(pagesDir, png);
    }

    Dump dump(quiet, std::move(files));
    if (!quiet)
        std::cout << "    offset  type            len  contents\n";
    std::optional<oakt::Violation> violation = oakt::read_stream(stream, dump);
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
