// Writes the PPD source from its template and the printer's description:
// make_drv TEMPLATE OUTPUT.  A line that is a @NAME@ alone becomes the block
// of that name; @MAKE@, @MAKE_AND_MODEL@, @DEVICE_ID@ and @PAGES_PER_MINUTE@ are replaced where
// they stand.
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "printer.h"

namespace {

using namespace quillet;

std::string blocks(const std::string &name)
{
    std::ostringstream out;
    if (name == "@RESOLUTIONS@") {
        for (unsigned resolution : resolutions)
            out << (resolution == default_resolution ? "*" : "") << "Resolution k 1 0 0 0 \"" << resolution
                << "dpi/" << resolution << " DPI\"\n";
    } else if (name == "@PRINT_QUALITY@") {
        // Draft and high are the lowest and the highest resolution.
        auto choice = [&](const char *quality, unsigned resolution) {
            out << "  Choice \"" << quality << "/" << quality << "\" \"<</HWResolution[" << resolution << " "
                << resolution << "]>>setpagedevice\"\n";
        };
        choice("Draft", resolutions.front());
        out << "  *Choice \"Normal/Normal\" \"\"\n";
        choice("High", resolutions.back());
    } else if (name == "@PAPER_SIZES@") {
        for (const PaperSize &size : paper_sizes) {
            const std::string page_size = "\"<</PageSize[" + std::to_string(size.width_points) + " " +
                                          std::to_string(size.length_points) + "]/ImagingBBox null>>setpagedevice\"";
            out << (&size == &default_paper ? "*" : "") << "CustomMedia \"" << size.ppd_name << "/" << size.name
                << "\" " << size.width_points << " " << size.length_points << " " << size.left << " " << size.bottom
                << " " << size.right << " " << size.top << "\n  " << page_size << "\n  " << page_size << "\n";
        }
    } else if (name == "@CUSTOM_SIZES@") {
        const CustomSizes &custom = custom_sizes;
        out << "HWMargins " << custom.left << " " << custom.bottom << " " << custom.right << " " << custom.top
            << "\nVariablePaperSize Yes\nMinSize " << custom.min_width << " " << custom.min_length << "\nMaxSize "
            << custom.max_width << " " << custom.max_length << "\n";
    } else if (name == "@MEDIA_TYPES@") {
        for (size_t code = 0; code < media_types.size(); code++)
            out << (code == 0 ? "*" : "") << "MediaType " << code << " \"" << media_types[code].ppd_name << "/"
                << media_types[code].name << "\"\n";
    } else if (name == "@DENSITIES@") {
        for (int level = 0; level < density_levels; level++)
            out << (level == normal_density ? "  *" : "  ") << "Choice \"" << density_names[level] << "/"
                << density_names[level] << "\" \"<</cupsCompression " << unsigned(level) + density_in_compression
                << ">>setpagedevice\"\n";
    } else {
        return {};
    }
    std::string text = out.str();
    text.pop_back();  // the template's line brings its own end
    return text;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::cerr << "usage: make_drv TEMPLATE OUTPUT\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "make_drv: cannot read " << argv[1] << "\n";
        return 1;
    }
    const std::string speed = std::to_string(pages_per_minute);
    const std::map<std::string, std::string_view> words = {{"@MAKE_AND_MODEL@", make_and_model},
                                                           {"@MAKE@", printer_make},
                                                           {"@DEVICE_ID@", device_id},
                                                           {"@PAGES_PER_MINUTE@", speed}};
    std::ostringstream out;
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 2 && line.front() == '@' && line.back() == '@') {
            std::string block = blocks(line);
            if (block.empty()) {
                std::cerr << "make_drv: no block " << line << "\n";
                return 1;
            }
            line = block;
        }
        for (const auto &[word, value] : words)
            for (size_t at; (at = line.find(word)) != std::string::npos;)
                line.replace(at, word.size(), value);
        out << line << "\n";
    }
    std::ofstream file(argv[2]);
    file << out.str();
    return file.flush() ? 0 : 1;
}
