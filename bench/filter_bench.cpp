// What a page costs: (a) the whole filter path from raster bytes to stream
// bytes, in-process on one thread, with the stream going to a FILE that
// counts and discards it; (b) only the libjbig calls the filter makes, on the
// same bands already in memory.  After the runs it prints (a)/(b) per page
// class.  filter_threads/N/CLASS measures the wall time of (a) with N
// encoder threads.
//
// Usage: filter_bench --corpus=DIR [--plot=FILE] [--pairs=N] [benchmark flags]
// DIR holds CLASS.ras raster files (see make_corpus.sh).  The table's
// (a)/(b) is the median of N runs of (a) and (b) taken in turns (default 9;
// 0 leaves the ratio of the two benchmarks).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <jbig.h>
}

#include "files.h"
#include "timing.h"
#include "oakt_tables.h"
#include "page_loop.h"
#include "raster.h"

using namespace quillet::test;

namespace {

// A FILE that counts what is written to it and keeps nothing.
size_t BytesOut = 0;

ssize_t count_write(void *counter, const char *, size_t size)
{
    if (counter)
        *static_cast<size_t *>(counter) += size;
    return ssize_t(size);
}

FILE *discarding_file(size_t *counter)
{
    cookie_io_functions_t io{};
    io.write = count_write;
    return fopencookie(counter, "w", io);
}

// One page image as the filter hands it to the encoder: padded to 32
// pixels and fitted to the printable area.
struct Prepared {
    int w = 0, h = 0;
    std::vector<uint8_t> bits;
};

Prepared prepare(const RasterPage &page)
{
    quillet::PagePlan plan = *quillet::plan_page(quillet::filter::print_settings(page.header, {}),
                                                 quillet::filter::raster_geometry(page.header), 1)
                                 .plan;
    Prepared p;
    p.w = int(plan.image_width);
    p.h = int(plan.image_height);
    size_t bpl = plan.image_bytes_per_row;
    p.bits.assign(bpl * size_t(p.h), 0);
    for (int y = 0; y < p.h; y++)
        memcpy(p.bits.data() + size_t(y) * bpl, page.row(unsigned(y)), std::min<size_t>(bpl, page.bpl()));
    return p;
}

void discard(unsigned char *, size_t len, void *count)
{
    *static_cast<size_t *>(count) += len;
}

// The filter's encoder calls for every band of one page.
size_t encode_page(Prepared &p)
{
    size_t out = 0;
    size_t bpl = size_t(p.w) / 8;
    for (int y = 0; y < p.h; y += 256) {
        int lines = std::min(256, p.h - y);
        unsigned char *band = p.bits.data() + size_t(y) * bpl;
        jbg_enc_state se;
        jbg_enc_init(&se, unsigned(p.w), unsigned(lines), 1, &band, discard, &out);
        jbg_enc_options(&se, quillet::jbig_order, quillet::jbig_options, unsigned(lines), quillet::jbig_mx,
                        quillet::jbig_my);
        jbg_enc_out(&se);
        jbg_enc_free(&se);
    }
    return out;
}

struct PageClass {
    std::string name;
    std::vector<uint8_t> raster;  // the raster stream as CUPS hands it over
    std::vector<Prepared> pages;
    uint64_t pixels = 0;          // of the images encoded
};

// (a): the raster stream, from a memory file, through the filter's page loop.
size_t run_filter(int fd, unsigned threads = 1)
{
    static const volatile sig_atomic_t never = 0;
    static FILE *out = discarding_file(&BytesOut);
    lseek(fd, 0, SEEK_SET);
    BytesOut = 0;
    quillet::filter::RasterInput input(fd);
    quillet::filter::print_pages(input.raster(), out, threads, never);
    fflush(out);
    return BytesOut;
}

// (b): the encoder calls alone.
size_t run_encoder(PageClass &c)
{
    size_t out = 0;
    for (Prepared &p : c.pages)
        out += encode_page(p);
    return out;
}

int memory_file(const std::vector<uint8_t> &bytes)
{
    int fd = memfd_create("raster", 0);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
        abort();
    return fd;
}

void BM_Filter(benchmark::State &state, PageClass *c)
{
    int fd = memory_file(c->raster);
    size_t bytes = 0;
    for (auto _ : state)
        bytes = run_filter(fd);
    close(fd);
    state.counters["bytes_out"] = double(bytes);
    state.counters["pages"] = double(c->pages.size());
}

// (c): only reading the raster's rows, as the filter reads them.
size_t run_read(int fd)
{
    lseek(fd, 0, SEEK_SET);
    quillet::filter::RasterInput input(fd);
    cups_page_header2_t header;
    std::vector<unsigned char> row;
    size_t rows = 0;
    while (cupsRasterReadHeader2(input.raster(), &header)) {
        row.resize(header.cupsBytesPerLine);
        for (unsigned y = 0; y < header.cupsHeight; y++, rows++)
            if (!cupsRasterReadPixels(input.raster(), row.data(), header.cupsBytesPerLine))
                break;
    }
    return rows;
}

void BM_Read(benchmark::State &state, PageClass *c)
{
    int fd = memory_file(c->raster);
    for (auto _ : state)
        benchmark::DoNotOptimize(run_read(fd));
    close(fd);
}

void BM_FilterThreads(benchmark::State &state, PageClass *c)
{
    int fd = memory_file(c->raster);
    for (auto _ : state)
        run_filter(fd, unsigned(state.range(0)));
    close(fd);
    state.counters["pages"] = double(c->pages.size());
}

void BM_Encoder(benchmark::State &state, PageClass *c)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(run_encoder(*c));
    state.counters["pages"] = double(c->pages.size());
}

// (a)/(b) from runs taken in turns, the median of the pairs: slow drifts of
// the machine's speed cancel out.
double paired_ratio(PageClass &c, int pairs)
{
    int fd = memory_file(c.raster);
    std::vector<double> ratios;
    run_filter(fd);  // warm up
    run_encoder(c);
    for (int i = 0; i < pairs; i++) {
        double t0 = cpu_ms();
        run_filter(fd);
        double t1 = cpu_ms();
        run_encoder(c);
        double t2 = cpu_ms();
        ratios.push_back((t1 - t0) / (t2 - t1));
    }
    close(fd);
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

// A run that failed: Google Benchmark 1.8 replaced error_occurred by skipped.
template <typename Run>
bool failed(const Run &run)
{
    if constexpr (requires { run.skipped; })
        return static_cast<bool>(run.skipped);
    else
        return run.error_occurred;
}

// Keeps the CPU time of every run for the table at the end.
class Collect : public benchmark::ConsoleReporter {
public:
    // With repetitions, the median stands for the benchmark; without, its
    // only run.
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (failed(run) || !(median || (run.run_type == Run::RT_Iteration && !medians_.count(run.run_name.str()))))
                continue;
            std::string name = run.run_name.str();
            if (median)
                medians_.insert(name);
            cpu[name] = run.GetAdjustedCPUTime();
            auto it = run.counters.find("bytes_out");
            if (it != run.counters.end())
                bytesOut[name] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> cpu;  // ms per iteration
    std::map<std::string, double> bytesOut;

private:
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char **argv)
{
    std::string corpus, plot;
    int pairs = 9;
    std::vector<char *> rest;
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        if (a.rfind("--corpus=", 0) == 0)
            corpus = a.substr(9);
        else if (a.rfind("--plot=", 0) == 0)
            plot = a.substr(7);
        else if (a.rfind("--pairs=", 0) == 0)
            pairs = std::stoi(a.substr(8));
        else
            rest.push_back(argv[i]);
    }
    if (corpus.empty()) {
        std::cerr << "usage: filter_bench --corpus=DIR [--plot=FILE] [--pairs=N] [benchmark flags]\n";
        return 2;
    }

    // The filter's status lines go to stderr: point it at a discarding file.
    // The benchmark's own output goes through std::cout.
    stderr = discarding_file(nullptr);

    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(corpus))
        if (entry.path().extension() == ".ras")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<PageClass> classes(files.size());
    for (size_t i = 0; i < files.size(); i++) {
        PageClass &c = classes[i];
        c.name = std::filesystem::path(files[i]).stem().string();
        c.raster = read_file(files[i]);
        for (const RasterPage &page : read_raster(files[i])) {
            c.pages.push_back(prepare(page));
            c.pixels += uint64_t(c.pages.back().w) * uint64_t(c.pages.back().h);
        }
        benchmark::RegisterBenchmark(("filter/" + c.name).c_str(), BM_Filter, &c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("encoder/" + c.name).c_str(), BM_Encoder, &c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("read/" + c.name).c_str(), BM_Read, &c)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("filter_threads/" + c.name).c_str(), BM_FilterThreads, &c)
            ->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
    }

    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    Collect reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::cout << "\n| page class | pages | pixels per page | (a) filter ms/page | (b) encoder ms/page | (a)/(b) paired | "
                 "(c) rows only ms/page | pages/min | bytes out/page |\n|---|---|---|---|---|---|---|---|---|\n";
    std::ofstream plotData;
    if (!plot.empty())
        plotData.open(plot);
    for (const PageClass &c : classes) {
        auto a = reporter.cpu.find("filter/" + c.name), b = reporter.cpu.find("encoder/" + c.name);
        if (a == reporter.cpu.end() || b == reporter.cpu.end() || c.pages.empty())
            continue;
        double pages = double(c.pages.size());
        double ratio = pairs > 0 ? paired_ratio(const_cast<PageClass &>(c), pairs) : a->second / b->second;
        double perPageA = a->second / pages, perPageB = b->second / pages;
        char line[256];
        auto read = reporter.cpu.find("read/" + c.name);
        double perPageC = read == reporter.cpu.end() ? 0 : read->second / pages;
        snprintf(line, sizeof line, "| %s | %zu | %.1f M | %.2f | %.2f | %.3f | %.2f | %.0f | %.0f |\n",
                 c.name.c_str(), c.pages.size(), double(c.pixels) / pages / 1e6, perPageA, perPageB, ratio, perPageC,
                 60000.0 / perPageA, reporter.bytesOut["filter/" + c.name] / pages);
        std::cout << line;
        if (plotData)
            plotData << c.name << " " << double(c.pixels) / pages << " " << perPageA << " " << perPageB << " " << ratio
                     << "\n";
    }
    // Wall time with 1, 2 and 4 encoder threads, taken in turns; the median
    // of each ratio to the single-thread run of the same turn.
    std::cout << "\n| page class | bands per page | wall ms/page, 1 thread | 2 threads | 4 threads | 2 threads / 1 | "
                 "4 threads / 1 |\n|---|---|---|---|---|---|---|\n";
    for (const PageClass &c : classes) {
        if (c.pages.empty() || pairs <= 0)
            continue;
        int fd = memory_file(c.raster);
        std::vector<double> ones, twos, fours, ratio2, ratio4;
        run_filter(fd, 2);  // warm up
        for (int i = 0; i < pairs; i++) {
            double t0 = wall_ms();
            run_filter(fd, 1);
            double t1 = wall_ms();
            run_filter(fd, 2);
            double t2 = wall_ms();
            run_filter(fd, 4);
            double t4 = wall_ms();
            ones.push_back(t1 - t0);
            twos.push_back(t2 - t1);
            fours.push_back(t4 - t2);
            ratio2.push_back((t2 - t1) / (t1 - t0));
            ratio4.push_back((t4 - t2) / (t1 - t0));
        }
        close(fd);
        double pages = double(c.pages.size());
        char line[256];
        snprintf(line, sizeof line, "| %s | %d | %.1f | %.1f | %.1f | %.2f | %.2f |\n", c.name.c_str(),
                 (c.pages[0].h + 255) / 256, median(ones) / pages, median(twos) / pages, median(fours) / pages,
                 median(ratio2), median(ratio4));
        std::cout << line;
    }
    return 0;
}
