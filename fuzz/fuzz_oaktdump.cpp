// libFuzzer harness: arbitrary bytes through oaktdump's reader, with every
// band decoded.
#include <cstdint>

#include "oakt_reader.h"

namespace {

class Touch : public quillet::StreamListener {
public:
    void rows(const quillet::PageDoc &, const quillet::BandRecord &, std::span<const uint8_t> bits) override
    {
        for (uint8_t b : bits)
            sum_ += b;
    }
    unsigned sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Touch touch;
    quillet::ReadOptions options;
    // Small images keep every input fast.
    options.max_width = 1u << 14;
    options.max_pixels = 1u << 24;
    quillet::read_stream({data, size}, touch, options);
    return 0;
}
