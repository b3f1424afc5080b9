#include "page_files.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <utility>

namespace quillet {

struct PageFiles::Png {
    FILE *fp = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    bool failed = false;

    ~Png()
    {
        if (png)
            png_destroy_write_struct(&png, &info);
        if (fp)
            fclose(fp);
    }
    bool begin(const std::string &path, unsigned width, unsigned height)
    {
        fp = fopen(path.c_str(), "wb");
        if (!fp)
            return false;
        png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        info = png ? png_create_info_struct(png) : nullptr;
        if (!info || setjmp(png_jmpbuf(png)))
            return !(failed = true);
        png_init_io(png, fp);
        png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_set_invert_mono(png);  // a set bit is black ink; in PNG gray 0 is black
        return true;
    }
    bool row(const uint8_t *bits)
    {
        if (failed || setjmp(png_jmpbuf(png)))
            return !(failed = true);
        png_write_row(png, bits);
        return true;
    }
    bool end()
    {
        if (failed || setjmp(png_jmpbuf(png)))
            return !(failed = true);
        png_write_end(png, nullptr);
        return fclose(std::exchange(fp, nullptr)) == 0;
    }
};

PageFiles::PageFiles(std::string dir, bool png) : dir_(std::move(dir)), png_(png) {}

PageFiles::~PageFiles()
{
    if (pbm_)
        fclose(pbm_);
}

void PageFiles::begin(int page, unsigned width, unsigned height)
{
    char name[32];
    snprintf(name, sizeof name, "/page-%04d", page);
    std::string base = dir_ + name;
    width_ = width;
    pbm_ = fopen((base + ".pbm").c_str(), "wb");
    if (!pbm_ || fprintf(pbm_, "P4\n%u %u\n", width, height) < 0)
        error_ = "cannot write " + base + ".pbm: " + strerror(errno);
    if (png_ && width > 0 && height > 0) {
        pngFile_ = std::make_unique<Png>();
        if (!pngFile_->begin(base + ".png", width, height))
            error_ = "cannot write " + base + ".png";
    }
}

void PageFiles::rows(std::span<const uint8_t> bits)
{
    size_t bpl = (width_ + 7) / 8;
    if (pbm_ && fwrite(bits.data(), 1, bits.size(), pbm_) != bits.size() && error_.empty())
        error_ = std::string("cannot write a page file: ") + strerror(errno);
    if (pngFile_ && bpl > 0)
        for (size_t i = 0; i + bpl <= bits.size(); i += bpl)
            if (!pngFile_->row(bits.data() + i) && error_.empty())
                error_ = "cannot write a PNG file";
}

void PageFiles::end()
{
    if (pbm_ && fclose(std::exchange(pbm_, nullptr)) != 0 && error_.empty())
        error_ = std::string("cannot write a page file: ") + strerror(errno);
    if (pngFile_ && !pngFile_->end() && error_.empty())
        error_ = "cannot write a PNG file";
    pngFile_.reset();
}

}  // namespace quillet
