#include "ghostscript.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "band_encoder.h"
#include "conversions.h"
#include "halftone.h"
#include "page_plan.h"
#include "render.h"

namespace quillet::app {

namespace {

constexpr const char *ghostscript = "/usr/bin/gs";
// Ghostscript's bounds: memory, CPU time, and the longest wait for its next
// bytes.
constexpr rlim_t ghostscript_memory = rlim_t{2} << 30;
constexpr rlim_t ghostscript_cpu_seconds = 600;

// Reads Ghostscript's output, waiting at most the silence bound for
// each chunk, and keeps an eye on what its scratch folder holds.
class PipeReader {
public:
    PipeReader(int fd, const ScratchFolder &scratch) : fd_(fd), scratch_(scratch) {}
    // false at the end of the output, when Ghostscript fell silent, or when
    // its folder went over its bound.
    bool read(uint8_t *out, size_t length)
    {
        while (length) {
            if (at_ == buffer_.size() || at_ == filled_) {
                if (folder_full())
                    return false;
                pollfd ready{fd_, POLLIN, 0};
                int waited = 0, got = 0;
                while ((got = poll(&ready, 1, 1000)) == 0 && (waited += 1000) < 1000 * static_cast<int>(conversion_bounds().silence_seconds))
                    if (folder_full())
                        return false;
                if (got <= 0) {
                    silent = true;
                    return false;
                }
                ssize_t bytes = ::read(fd_, buffer_.data(), buffer_.size());
                if (bytes <= 0)
                    return false;
                filled_ = static_cast<size_t>(bytes);
                at_ = 0;
            }
            size_t take = std::min(length, filled_ - at_);
            std::memcpy(out, buffer_.data() + at_, take);
            at_ += take;
            out += take;
            length -= take;
        }
        return true;
    }
    // A number of a PGM header, after white space and comments.
    bool number(unsigned &value)
    {
        uint8_t c = ' ';
        while (std::isspace(c) || c == '#') {
            if (c == '#')
                while (c != '\n')
                    if (!read(&c, 1))
                        return false;
            if (!read(&c, 1))
                return false;
        }
        if (!std::isdigit(c))
            return false;
        value = 0;
        while (std::isdigit(c)) {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 1'000'000 || !read(&c, 1))
                return false;
        }
        return true;  // the one white-space character after it is taken
    }
    bool silent = false;
    bool full = false;  // the folder went over the conversion's bound
    bool too_many_files = false;  // its bound on files

private:
    // Looked at once a second at most.
    bool folder_full()
    {
        const auto now = std::chrono::steady_clock::now();
        if (!full && now - looked_ >= std::chrono::seconds(1)) {
            looked_ = now;
            const FolderUse use = use_of(scratch_.path());
            too_many_files = use.files > files_per_conversion;
            full = too_many_files || use.bytes > conversion_bounds().bytes;
        }
        return full;
    }
    int fd_;
    const ScratchFolder &scratch_;
    std::chrono::steady_clock::time_point looked_ = std::chrono::steady_clock::now();
    std::array<uint8_t, 65536> buffer_{};
    size_t at_ = 0, filled_ = 0;
};

// The last line Ghostscript wrote to its messages, read through the
// server's own descriptor: the file's name is in a folder Ghostscript owns.
std::string last_line(int messages)
{
    std::string text, line, last;
    std::array<char, 4096> buffer;
    if (lseek(messages, 0, SEEK_SET) == 0)
        for (ssize_t got; (got = read(messages, buffer.data(), buffer.size())) > 0 && text.size() < (1u << 20);)
            text.append(buffer.data(), static_cast<size_t>(got));
    for (std::istringstream in(text); std::getline(in, line);)
        if (!line.empty())
            last = line;
    return last.substr(0, 300);
}

// Pages of a PGM or PBM stream (P5, 8-bit grey, or P4, 1-bit black), one
// after another.
class RenderedPages {
public:
    RenderedPages(PipeReader &in, char kind) : in_(in), kind_(kind) {}
    enum class Next { page, end, malformed };
    // The next page's size; its rows follow.
    Next next_page(unsigned &width, unsigned &height)
    {
        std::array<uint8_t, 2> magic{};
        if (!in_.read(magic.data(), magic.size()))
            return Next::end;
        unsigned maximum = 255;
        if (magic[0] != 'P' || magic[1] != kind_ || !in_.number(width) || !in_.number(height) ||
            (kind_ == '5' && (!in_.number(maximum) || maximum != 255)))
            return Next::malformed;
        return Next::page;
    }
    // The page's next row, of width bytes (grey) or (width + 7) / 8 bytes
    // (black); false when they end first.
    bool rows(std::span<uint8_t> to) { return in_.read(to.data(), to.size()); }

private:
    PipeReader &in_;
    char kind_;
};

// Ghostscript run on the document in a scratch folder, as the
// conversion's user, in a process group of its own: its output on a pipe,
// its messages in a file read through the server's own descriptor.  Ended
// and waited for at the latest when it goes.
class Ghostscript {
public:
    Ghostscript(const ScratchFolder &scratch, const std::vector<std::string> &arguments)
    {
        messages_path_ = scratch.path() + "/messages";
        messages_ = open(messages_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        int output[2];
        if (messages_ < 0 || pipe2(output, O_CLOEXEC) != 0)
            return;
        std::vector<const char *> argv{"gs"};
        for (const std::string &argument : arguments)
            argv.push_back(argument.c_str());
        argv.push_back(nullptr);
        const std::string home = "HOME=" + scratch.path(), temporary = "TMPDIR=" + scratch.path();
        const char *environment[] = {"PATH=/usr/bin:/bin", home.c_str(), temporary.c_str(), "LC_ALL=C", nullptr};
        pid_ = fork();
        if (pid_ == 0) {
            // Its own process group, so that nothing it starts outlives it.
            setpgid(0, 0);
            dup2(output[1], 1);
            dup2(messages_, 2);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            // No descriptor of the server's: only its pipes.
            close_range(3, ~0U, 0);
            const rlimit memory{ghostscript_memory, ghostscript_memory};
            // SIGXCPU at the bound (the kernel's SIGKILL at the hard one
            // would look like a kill from outside).
            const rlimit cpu{ghostscript_cpu_seconds, ghostscript_cpu_seconds + 5};
            const rlimit file_size{conversion_bounds().bytes, conversion_bounds().bytes};
            setrlimit(RLIMIT_AS, &memory);
            setrlimit(RLIMIT_CPU, &cpu);
            setrlimit(RLIMIT_FSIZE, &file_size);
            if (chdir(scratch.path().c_str()) != 0)
                _exit(126);
            const uid_t uid = scratch.uid();
            if (uid && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0 || setuid(0) == 0))
                _exit(126);
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
                _exit(126);
            execve(ghostscript, const_cast<char *const *>(argv.data()), const_cast<char *const *>(environment));
            _exit(127);
        }
        close(output[1]);
        output_ = output[0];
        started_ = pid_ > 0;
        if (pid_ < 0) {
            close(output_);
            output_ = -1;
        }
    }
    Ghostscript(const Ghostscript &) = delete;
    Ghostscript &operator=(const Ghostscript &) = delete;
    ~Ghostscript()
    {
        finish(true);
        if (messages_ >= 0) {
            close(messages_);
            unlink(messages_path_.c_str());  // for the next run in the folder
        }
    }

    bool started() const { return started_; }
    int output() const { return output_; }
    // Ends it, killed when asked, and waits for it: its wait status.
    int finish(bool kill_it)
    {
        if (pid_ > 0) {
            if (kill_it)
                kill(-pid_, SIGKILL);
            close(output_);
            output_ = -1;
            waitpid(pid_, &status_, 0);
            kill(-pid_, SIGKILL);  // whatever it started
            pid_ = -1;
        }
        return status_;
    }
    // The last line of its messages.
    std::string last_message() const { return messages_ >= 0 ? last_line(messages_) : std::string(); }

private:
    pid_t pid_ = -1;
    bool started_ = false;
    std::string messages_path_;
    int output_ = -1, messages_ = -1;
    int status_ = 0;
};

// What every run of Ghostscript on a document is given.
std::vector<std::string> ghostscript_arguments(unsigned res_x, unsigned res_y, const char *device)
{
    const std::string resolution = "-r" + std::to_string(res_x) + "x" + std::to_string(res_y);
    return {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-sstdout=%stderr",
            std::string("-sDEVICE=") + device, resolution};
}

// Why a run of Ghostscript did not end well; empty when it did.
std::string ghostscript_failure(Ghostscript &gs, const PipeReader &output, bool cut_short, unsigned pages)
{
    const int status = gs.finish(cut_short || output.silent || output.full);
    if (cut_short || (!output.silent && !output.full && WIFEXITED(status) && WEXITSTATUS(status) == 0 && pages > 0))
        return {};
    const std::string written = "Ghostscript wrote more than the " + std::to_string(conversion_bounds().bytes >> 20) +
                                " MiB of files a conversion may write (four times the largest document the server "
                                "takes, and at least 16 MiB).";
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const std::string why =
        output.too_many_files ? "Ghostscript made more than the " + std::to_string(files_per_conversion) +
                                    " files a conversion may make."
        : output.full         ? written
        : output.silent       ? "Ghostscript made nothing for " + std::to_string(conversion_bounds().silence_seconds) +
                                    " seconds."
        : signal == SIGXFSZ   ? written
        : signal == SIGXCPU   ? "Ghostscript went over the " + std::to_string(ghostscript_cpu_seconds) +
                                    " seconds of processor time a conversion may take."
        : signal == SIGKILL   ? "Ghostscript was killed from outside the server."
        : signal != 0         ? "Ghostscript ended on signal " + std::to_string(signal) + " (" + strsignal(signal) + ")."
        : WIFEXITED(status) && WEXITSTATUS(status) == 126 ? "the conversion could not be started as its own user."
        : pages == 0                                      ? "Ghostscript found no pages in it."
                                                          : "Ghostscript failed.";
    std::string said = gs.last_message();
    // Ghostscript's banner says nothing of what went wrong.
    if (said.rfind("GPL Ghostscript", 0) == 0 && said.find_first_not_of(" .0123456789", 15) == std::string::npos)
        said.clear();
    return why + (said.empty() ? "" : " (" + said + ")");
}

// Pages that one run of Ghostscript renders, and what it renders each into.
struct PageRun {
    unsigned first = 0, last = 0;  // from 1; 0 and 0: every page
    PixelSize canvas;
};

// A canvas of a page's proportions (measured in points) that covers the
// printed part when the page is fitted into it.  The measure is rounded to
// the point, so the scale is taken a point short.  A canvas is at most
// twice the printed part across and down: pages of more extreme
// proportions fill it as far as that goes.
PixelSize covering(unsigned width_points, unsigned height_points, PixelSize printed, unsigned res_x, unsigned res_y)
{
    const double across = double(width_points) * res_x / 72, down = double(height_points) * res_y / 72;
    const double scale = std::max(printed.width / std::max(across - res_x / 72.0, 1.0),
                                  printed.height / std::max(down - res_y / 72.0, 1.0));
    return {static_cast<uint32_t>(std::min(std::ceil(across * scale), 2.0 * printed.width)),
            static_cast<uint32_t>(std::min(std::ceil(down * scale), 2.0 * printed.height))};
}

// print-scaling fill: Ghostscript only fits a page into its canvas.  The
// pages are measured first, in a quick run at 72 dpi; each run of pages of
// one size is fitted into a canvas that covers the printed part, whose
// centre is printed.  Pages past the job's limit are not measured.
std::vector<PageRun> fill_runs(const ScratchFolder &scratch, PixelSize printed, unsigned res_x, unsigned res_y,
                               std::string &why)
{
    std::vector<std::string> arguments = ghostscript_arguments(72, 72, "pgmraw");
    arguments.insert(arguments.end(), {"-sOutputFile=-", "-f", "document"});
    Ghostscript gs(scratch, arguments);
    if (!gs.started()) {
        why = "Ghostscript cannot be started.";
        return {};
    }
    PipeReader output(gs.output(), scratch);
    RenderedPages pgm(output, '5');
    std::vector<PageRun> runs;
    std::vector<uint8_t> row;
    unsigned width = 0, height = 0, pages = 0;
    bool whole = true;
    while (whole && pages <= pages_per_job()) {
        const RenderedPages::Next next = pgm.next_page(width, height);
        if (next != RenderedPages::Next::page) {
            whole = next == RenderedPages::Next::end;
            break;
        }
        row.resize(width);
        for (unsigned y = 0; whole && y < height; y++)
            whole = pgm.rows(row);
        pages++;
        const PixelSize canvas = covering(width, height, printed, res_x, res_y);
        if (!runs.empty() && runs.back().canvas.width == canvas.width && runs.back().canvas.height == canvas.height)
            runs.back().last = pages;
        else
            runs.push_back({pages, pages, canvas});
    }
    why = whole || output.silent || output.full ? ghostscript_failure(gs, output, pages > pages_per_job(), pages)
                                 : "Ghostscript's output cannot be read.";
    return runs;
}

// Renders one run of pages and prints each, cut to its centre where it is
// larger than the printed part; the number of the last page printed goes
// on in pages.  False when the job ends here, with its reason.
bool print_run(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, const ScratchFolder &scratch,
               const PageRun &run, bool fit, PixelSize printed, unsigned &pages)
{
    const unsigned res_x = options->header.HWResolution[0], res_y = options->header.HWResolution[1];
    // Ghostscript prints the greys itself, with the job's screen: a
    // screened page is an eighth of its grey one to make and to carry.
    const Screen screen(halftone_for(options->print_content_optimize), res_x);
    std::vector<std::string> arguments = ghostscript_arguments(res_x, res_y, "pbmraw");
    arguments.insert(arguments.end(), {"-g" + std::to_string(run.canvas.width) + "x" +
                                           std::to_string(run.canvas.height),
                                       "-dFIXEDMEDIA"});
    if (fit)
        arguments.insert(arguments.end(), {"-dPDFFitPage", "-dPSFitPage"});
    if (run.first)
        arguments.insert(arguments.end(),
                         {"-dFirstPage=" + std::to_string(run.first), "-dLastPage=" + std::to_string(run.last)});
    arguments.insert(arguments.end(), {"-sOutputFile=-", "-c", ghostscript_halftone(screen), "-f", "document"});
    Ghostscript gs(scratch, arguments);
    if (!gs.started()) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 "The document cannot be printed: Ghostscript cannot be started.");
        return false;
    }

    PipeReader output(gs.output(), scratch);
    RenderedPages pbm(output, '4');
    const bool turn_back_sides = options->sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
    bool ok = true;
    unsigned pages_in_run = 0;
    std::vector<uint8_t> rendered, whole;
    unsigned width = 0, height = 0;
    while (ok && !papplJobIsCanceled(job)) {
        const RenderedPages::Next next = pbm.next_page(width, height);
        if (next == RenderedPages::Next::end)
            break;
        if (next == RenderedPages::Next::malformed) {
            fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "Ghostscript's output cannot be read.");
            ok = false;
            break;
        }
        pages++;
        pages_in_run++;
        // The centre of what was rendered, as much as is printed.
        const unsigned kept_width = std::min<unsigned>(width, printed.width);
        const unsigned kept_height = std::min<unsigned>(height, printed.height);
        const unsigned left = (width - kept_width) / 2, top = (height - kept_height) / 2;
        ok = begin_page(job, options, {kept_width, kept_height, res_x, res_y}, pages);
        if (ok)
            papplJobSetImpressionsCompleted(job, 1);
        const size_t row_bytes = (size_t{width} + 7) / 8;
        rendered.resize(row_bytes);
        bool complete = true;
        auto write_row = [&](std::span<const uint8_t> from, size_t first) {
            std::span<uint8_t> room = page_row(job);
            if (room.empty())
                return false;
            copy_dots(from, first, kept_width, room);
            return commit_page_row(job);
        };
        for (unsigned y = 0; complete && y < top; y++)
            complete = pbm.rows(rendered);
        if (turn_back_sides && pages % 2 == 0) {
            // The printer binds every two-sided job alike: for the short
            // edge each back side is turned half a turn.  A row turned
            // has its padding first.
            whole.resize(row_bytes * kept_height);
            for (unsigned y = 0; complete && y < kept_height; y++)
                complete = pbm.rows(std::span(whole).subspan(y * row_bytes, row_bytes));
            const size_t first = row_bytes * 8 - left - kept_width;
            for (unsigned y = 0; ok && complete && y < kept_height; y++) {
                const std::span<uint8_t> row = std::span(whole).subspan((kept_height - 1 - y) * row_bytes, row_bytes);
                mirror_row(row);
                ok = write_row(row, first);
            }
        } else {
            // A page that ends short: end_page says so.
            for (unsigned y = 0; ok && y < kept_height && (complete = pbm.rows(rendered)); y++)
                ok = write_row(rendered, left);
        }
        for (unsigned y = top + kept_height; complete && y < height; y++)
            complete = pbm.rows(rendered);
        ok = end_page(job, options, device, pages) && ok;
    }
    const std::string why = ghostscript_failure(gs, output, papplJobIsCanceled(job) || !ok, pages_in_run);
    if (!why.empty()) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document cannot be printed: " + why);
        ok = false;
    }
    return ok;
}

}  // namespace

bool ghostscript_installed()
{
    return access(ghostscript, X_OK) == 0;
}

// PDF and PostScript pages rendered by Ghostscript (-dSAFER, bounded in
// memory and time) to the printer's dots at the job's resolution and paper
// size.
bool print_pdf(pappl_job_t *job, pappl_device_t *device, void *)
{
    const PrintOptions options(papplJobCreatePrintOptions(job, 0, false));
    const cups_page_header2_t &sheet = options->header;
    const unsigned res_x = sheet.HWResolution[0], res_y = sheet.HWResolution[1];
    // The document goes into what the printer prints of the sheet, so that
    // nothing of it is cut: fitted into it, or filling it with its overflow
    // cut; without scaling it keeps its size on the whole sheet, and what
    // lies beyond the printable area is cut.
    const bool scaled = options->print_scaling != PAPPL_SCALING_NONE;
    const PixelSize printed = scaled ? printed_whole(static_cast<int>(res_x), static_cast<int>(res_y),
                                                     sheet.cupsWidth, sheet.cupsHeight)
                                     : PixelSize{sheet.cupsWidth, sheet.cupsHeight};
    // The document is converted in a scratch folder of its own, as a user
    // without rights, and reaches nothing else.
    std::string refusal;
    std::optional<ScratchFolder> scratch = ScratchFolder::make(refusal);
    if (!scratch || !copy_document(papplJobGetFilename(job), *scratch)) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 "The document cannot be converted: " + (refusal.empty() ? "no room for its copy." : refusal));
        return false;
    }
    std::vector<PageRun> runs{{0, 0, printed}};
    if (options->print_scaling == PAPPL_SCALING_FILL) {
        std::string why;
        runs = fill_runs(*scratch, printed, res_x, res_y, why);
        if (!why.empty()) {
            fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The document cannot be printed: " + why);
            return false;
        }
    }
    bool ok = start_job(job, options.get(), device);
    unsigned pages = 0;
    for (const PageRun &run : runs)
        ok = ok && !papplJobIsCanceled(job) &&
             print_run(job, options.get(), device, *scratch, run, scaled, printed, pages);
    return end_job(job, options.get(), device) && ok;
}

}  // namespace quillet::app
