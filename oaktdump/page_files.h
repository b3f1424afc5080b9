// Writes decoded pages as PBM and, when asked, PNG files, row by row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

namespace quillet {

class PageFiles {
public:
    // Files are named DIR/page-NNNN.pbm and .png.
    PageFiles(std::string dir, bool png);
    ~PageFiles();
    void begin(int page, unsigned width, unsigned height);
    void rows(std::span<const uint8_t> bits);
    void end();
    // The first failure to write, or an empty text.
    const std::string &error() const { return error_; }

private:
    struct Png;
    std::string dir_;
    bool png_;
    unsigned width_ = 0;
    FILE *pbm_ = nullptr;
    std::unique_ptr<Png> pngFile_;
    std::string error_;
};

}  // namespace quillet
