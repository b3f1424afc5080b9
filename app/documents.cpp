#include "documents.h"

#include <fcntl.h>
#include <grp.h>
#include <png.h>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "band_encoder.h"
#include "page_plan.h"
#include "raster_jobs.h"
#include "raster_reader.h"
#include "render.h"

namespace quillet::app {

namespace {

constexpr const char *ghostscript = "/usr/bin/gs";
// Ghostscript's bounds: memory, CPU time, and the longest wait for its next
// bytes.
constexpr rlim_t ghostscript_memory = rlim_t{2} << 30;
constexpr rlim_t ghostscript_cpu_seconds = 600;

// Where and as whom documents are converted (set once at start).
struct Sandbox {
    std::string root;  // the server's own folder of scratch folders
    ConversionIds ids;
    bool switch_user = false;
    ConversionBounds bounds;
};
Sandbox sandbox;

// The conversion ids in use; each conversion takes one of its own.
std::mutex ids_lock;
std::vector<bool> ids_taken;

// Where every server of the host claims the conversion ids it uses: a file
// for each id, locked while a conversion runs as it, so that another server
// (its own state and folders) takes another id, and ending a conversion
// ends its own processes alone.  A lock goes with its process, even on a
// crash.  root's alone; the service's unit makes it (RuntimeDirectory=).
constexpr const char *claims_folder = "/run/quillet-conversions";

// A descriptor that holds the host-wide claim of a conversion id, or -1:
// held by another process (why left empty), or no claim can be made (why
// says so).
int claim_id(uid_t uid, std::string &why)
{
    struct stat folder{};
    if ((mkdir(claims_folder, 0700) != 0 && errno != EEXIST) || lstat(claims_folder, &folder) != 0) {
        why = std::string("no conversion user id can be claimed in ") + claims_folder + ": " + std::strerror(errno);
        return -1;
    }
    if (!S_ISDIR(folder.st_mode) || folder.st_uid != geteuid() || (folder.st_mode & 022)) {
        why = std::string(claims_folder) + " is not a folder of the server's user alone: no conversion user id "
                                           "can be claimed in it.";
        return -1;
    }
    const std::string path = std::string(claims_folder) + "/" + std::to_string(uid);
    const int claim = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (claim < 0) {
        why = "the claim of conversion user id " + std::to_string(uid) + " cannot be made: " + std::strerror(errno);
        return -1;
    }
    if (flock(claim, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            why = "the claim of conversion user id " + std::to_string(uid) + " cannot be made: " + std::strerror(errno);
        close(claim);
        return -1;
    }
    return claim;
}

// Removes path with all it holds, whoever made what is inside: each folder
// is made the server's before it is read (the server may change a file's
// owner, not read another user's folder).
void take_and_remove(const std::string &path)
{
    struct stat info{};
    if (lstat(path.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode)) {
        // Taken by a descriptor that needs no right to read it (its owner
        // may have closed it to everyone), never through a link put in its
        // place; then opened to its new owner, which needs no power over
        // other users' files.  Nothing can swap it meanwhile: its parent is
        // the server's and its user's processes are ended.
        const int folder = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool taken = folder >= 0 && fchownat(folder, "", geteuid(), getegid(), AT_EMPTY_PATH) == 0 &&
                           chmod(path.c_str(), 0700) == 0;
        if (folder >= 0)
            close(folder);
        if (!taken)
            return;
        std::error_code gone;
        for (const auto &entry : std::filesystem::directory_iterator(path, gone))
            take_and_remove(entry.path().string());
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// Ends every process of a conversion's user, wherever it went: a process
// that left Ghostscript's group keeps the id no longer than its job.
void end_processes_of(uid_t uid)
{
    const pid_t ender = fork();
    if (ender == 0) {
        if (setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0)
            kill(-1, SIGKILL);  // every process this id may signal: its own
        _exit(0);
    }
    if (ender > 0)
        waitpid(ender, nullptr, 0);
}

// A job's scratch folder: made empty, owned by a user id that no other
// conversion and no other process of the host has (the server reaches it
// through its group), removed with all it holds and every process of that
// id ended.
class ScratchFolder {
public:
    static std::optional<ScratchFolder> make(std::string &why)
    {
        std::string pattern = sandbox.root + "/job.XXXXXX";
        if (sandbox.root.empty() || !mkdtemp(pattern.data())) {
            why = "no scratch folder can be made in " + sandbox.root + ": " + std::strerror(errno);
            return std::nullopt;
        }
        ScratchFolder made(pattern);
        if (!sandbox.switch_user)
            return made;
        {
            // The first id free here that no other server of the host holds.
            std::lock_guard locked(ids_lock);
            why.clear();
            for (size_t id = 0; id < ids_taken.size() && made.claim_ < 0; id++) {
                if (ids_taken[id])
                    continue;
                made.claim_ = claim_id(sandbox.ids.first + static_cast<uid_t>(id), why);
                if (!why.empty())
                    return std::nullopt;
                if (made.claim_ >= 0) {
                    ids_taken[id] = true;
                    made.uid_ = sandbox.ids.first + static_cast<uid_t>(id);
                }
            }
            if (made.claim_ < 0) {
                why = "all " + std::to_string(ids_taken.size()) + " conversion user ids are in use on this host.";
                return std::nullopt;
            }
        }
        // Opened to the server's group first: once the folder is another
        // user's, changing its mode would take a power over other users'
        // files (CAP_FOWNER) that the service's unit does not grant.
        if (chmod(pattern.c_str(), 0770) != 0 || chown(pattern.c_str(), made.uid_, getegid()) != 0) {
            why = "the scratch folder cannot be given to the conversion's user: " + std::string(std::strerror(errno));
            return std::nullopt;
        }
        return made;
    }
    ScratchFolder(ScratchFolder &&other) noexcept
        : path_(std::exchange(other.path_, {})), uid_(std::exchange(other.uid_, 0)),
          claim_(std::exchange(other.claim_, -1))
    {
    }
    ScratchFolder &operator=(ScratchFolder &&) = delete;
    ~ScratchFolder()
    {
        if (uid_)
            end_processes_of(uid_);
        if (!path_.empty())
            take_and_remove(path_);
        if (uid_) {
            std::lock_guard locked(ids_lock);
            ids_taken[uid_ - sandbox.ids.first] = false;
        }
        if (claim_ >= 0)
            close(claim_);  // last: the id is free for the host once its processes are gone
    }
    const std::string &path() const { return path_; }
    // The user the conversion runs as; 0: the server's own.
    uid_t uid() const { return uid_; }

private:
    explicit ScratchFolder(std::string path) : path_(std::move(path)) {}
    std::string path_;
    uid_t uid_ = 0;
    int claim_ = -1;  // the host-wide claim of uid_
};

// A copy of the job's document in the scratch folder, readable by the
// conversion's user alone; the spool file itself is the server's.
bool copy_document(const char *from, const ScratchFolder &scratch)
{
    const std::string to = scratch.path() + "/document";
    const int in = open(from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400);
    bool copied = in >= 0 && out >= 0;
    struct stat info{};
    copied = copied && fstat(in, &info) == 0;
    for (off_t left = copied ? info.st_size : 0; copied && left > 0;) {
        const ssize_t sent = sendfile(out, in, nullptr, static_cast<size_t>(std::min<off_t>(left, 1 << 30)));
        copied = sent > 0;
        left -= sent;
    }
    if (copied && scratch.uid())
        copied = fchown(out, scratch.uid(), scratch.uid()) == 0;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return copied;
}

// Files a conversion may make in its folder: Ghostscript makes a few; a
// document that makes thousands (SAFER lets PostScript make temporary
// files) would take the inodes every other conversion needs.
constexpr size_t files_per_conversion = 1000;

// What the files in a folder take on disk, and how many they are; files
// the server cannot see into count as nothing (Ghostscript's own are
// bounded one by one).
struct FolderUse {
    uint64_t bytes = 0;
    size_t files = 0;
};
FolderUse use_of(const std::string &folder)
{
    FolderUse use;
    std::error_code failed;
    for (std::filesystem::recursive_directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
        struct stat info{};
        if (lstat(it->path().c_str(), &info) == 0)
            use.bytes += static_cast<uint64_t>(info.st_blocks) * 512;
        use.files++;
    }
    return use;
}

// An image enlarged by a whole factor, each new pixel the mean of its four
// nearest old ones weighed by distance.
std::vector<uint8_t> enlarged(std::span<const uint8_t> pixels, unsigned width, unsigned height, unsigned factor)
{
    // Where each new column (or row) falls between two old ones, and how
    // far from the first, in 256ths.
    struct Step {
        unsigned first, second, weight;
    };
    auto steps = [&](unsigned old_size) {
        std::vector<Step> out(size_t{old_size} * factor);
        for (size_t at = 0; at < out.size(); at++) {
            const double where = std::clamp((at + 0.5) / factor - 0.5, 0.0, old_size - 1.0);
            const unsigned first = static_cast<unsigned>(where);
            out[at] = {first, std::min(first + 1, old_size - 1), static_cast<unsigned>(std::lround((where - first) * 256))};
        }
        return out;
    };
    const std::vector<Step> across = steps(width), down = steps(height);
    const size_t new_width = across.size();
    std::vector<uint8_t> out(new_width * down.size());
    std::vector<uint16_t> upper(new_width), lower(new_width);
    auto widen = [&](unsigned row, std::vector<uint16_t> &to) {
        const uint8_t *old = pixels.data() + size_t{row} * width;
        for (size_t x = 0; x < new_width; x++)
            to[x] = static_cast<uint16_t>(old[across[x].first] * (256 - across[x].weight) +
                                          old[across[x].second] * across[x].weight);
    };
    unsigned widened = ~0u;
    for (size_t y = 0; y < down.size(); y++) {
        if (down[y].first != widened) {
            widen(down[y].first, upper);
            widen(down[y].second, lower);
            widened = down[y].first;
        }
        const unsigned weight = down[y].weight;
        uint8_t *row = out.data() + y * new_width;
        for (size_t x = 0; x < new_width; x++)
            row[x] = static_cast<uint8_t>((upper[x] * (256 - weight) + lower[x] * weight + 32768) >> 16);
    }
    return out;
}

// A decoded grey image printed by PAPPL's image filter, which places,
// turns and scales it as the job asks, and screens it into the printer's
// dots as it goes: one pass over the page, no grey rows.  PAPPL scales by
// repeating pixels; an image enlarged more than twice is first enlarged
// smoothly here by a whole factor, so that no pixel repeats more than
// twice (a halftone cell is wider than that).  ppi 0: fitted to the page.
bool print_image(pappl_job_t *job, pappl_device_t *device, pappl_pr_options_t *options, std::vector<uint8_t> pixels,
                 unsigned width, unsigned height, int ppi)
{
    cups_page_header2_t &sheet = options->header;
    // How much PAPPL will enlarge it: turned as it turns it, fitted or
    // filled, or at its own resolution.
    const double across = sheet.cupsWidth, down = sheet.cupsHeight;
    const ipp_orient_t turn = options->orientation_requested;
    const bool turned = turn == IPP_ORIENT_LANDSCAPE || turn == IPP_ORIENT_REVERSE_LANDSCAPE ||
                        (turn == IPP_ORIENT_NONE && width > height && across < down);
    const double wide = turned ? height : width, high = turned ? width : height;
    double scale = options->print_scaling == PAPPL_SCALING_FILL ? std::max(across / wide, down / high)
                                                                 : std::min(across / wide, down / high);
    const double natural = ppi > 0 ? double(sheet.HWResolution[0]) / ppi : 0;
    if (options->print_scaling == PAPPL_SCALING_NONE ||
        (natural > 0 && natural * wide <= across && natural * high <= down &&
         options->print_scaling != PAPPL_SCALING_FIT && options->print_scaling != PAPPL_SCALING_FILL))
        scale = natural > 0 ? natural : double(sheet.HWResolution[0]) / 200;  // PAPPL's 200 ppi when it has none
    unsigned factor = scale > 2 ? static_cast<unsigned>(std::ceil(scale / 2)) : 1;
    // At most a 600 dpi A4 page's pixels enlarged.
    while (factor > 1 && double(width) * height * factor * factor > 35e6)
        factor--;
    if (factor > 1) {
        pixels = enlarged(pixels, width, height, factor);
        width *= factor;
        height *= factor;
        ppi *= static_cast<int>(factor);
    }
    // The page as 1-bit black, PAPPL inking a pixel where its grey is at
    // most the dither's value: the screen's threshold less one.
    const Screen screen(halftone_for(options->print_content_optimize), sheet.HWResolution[0]);
    for (unsigned y = 0; y < 16; y++)
        for (unsigned x = 0; x < 16; x++)
            options->dither[y][x] = static_cast<uint8_t>(screen.thresholds(y)[x] - 1);
    sheet.cupsColorSpace = CUPS_CSPACE_K;
    sheet.cupsBitsPerColor = sheet.cupsBitsPerPixel = 1;
    sheet.cupsNumColors = 1;
    sheet.cupsBytesPerLine = (sheet.cupsWidth + 7) / 8;
    return papplJobFilterImage(job, device, options, pixels.data(), static_cast<int>(width), static_cast<int>(height),
                               1, ppi, false);
}

// A job's spooled document, opened without following a link.
struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using SpooledFile = std::unique_ptr<FILE, FileCloser>;
SpooledFile open_spooled(pappl_job_t *job)
{
    const int fd = open(papplJobGetFilename(job), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE *file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (!file && fd >= 0)
        close(fd);
    return SpooledFile(file);
}

// PAPPL 1.3's own PNG reader never returns from some broken files; this
// one decodes within max_image_pixels and ends the job on any fault.
bool print_png(pappl_job_t *job, pappl_device_t *device, void *)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    const SpooledFile file = open_spooled(job);
    if (!file) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The PNG image cannot be opened.");
        return false;
    }
    if (!png_image_begin_read_from_stdio(&image, file.get())) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, std::string("The PNG image cannot be read: ") + image.message);
        return false;
    }
    if (image.width > max_image_side || image.height > max_image_side ||
        static_cast<unsigned long>(image.width) * image.height > max_image_pixels) {
        png_image_free(&image);
        fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                 "The PNG image is too large to print: " + std::to_string(image.width) + " x " +
                     std::to_string(image.height) + " pixels.");
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    const png_color white{255, 255, 255};
    if (!png_image_finish_read(&image, &white, pixels.data(), 0, nullptr)) {
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, std::string("The PNG image cannot be read: ") + image.message);
        png_image_free(&image);
        return false;
    }
    const PrintOptions options(papplJobCreatePrintOptions(job, 1, false));
    // No resolution of its own: the image is fitted to the page.
    return print_image(job, device, options.get(), std::move(pixels), image.width, image.height, 0);
}

// libjpeg's errors end the decoding here.
struct JpegErrors {
    jpeg_error_mgr manager{};
    std::jmp_buf back{};
    std::array<char, JMSG_LENGTH_MAX> message{};
};

// A JPEG decoded to grey within max_image_pixels, as PAPPL's own reader
// does, and printed as print_image does: the job's resolution from the
// image's own, where it has one.
bool print_jpeg(pappl_job_t *job, pappl_device_t *device, void *)
{
    const SpooledFile file = open_spooled(job);
    if (!file) {
        fail_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The JPEG image cannot be opened.");
        return false;
    }
    JpegErrors errors;
    jpeg_decompress_struct decoder{};
    decoder.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        auto *self = reinterpret_cast<JpegErrors *>(common->err);
        (*common->err->format_message)(common, self->message.data());
        std::longjmp(self->back, 1);
    };
    errors.manager.output_message = [](j_common_ptr) {};
    jpeg_create_decompress(&decoder);
    std::vector<uint8_t> pixels;  // before the jump's target: no destructor is skipped
    unsigned width = 0, height = 0;
    int ppi = 0;
    if (setjmp(errors.back)) {
        jpeg_destroy_decompress(&decoder);
        fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                 std::string("The JPEG image cannot be read: ") + errors.message.data());
        return false;
    }
    jpeg_stdio_src(&decoder, file.get());
    jpeg_read_header(&decoder, TRUE);
    decoder.out_color_space = JCS_GRAYSCALE;
    jpeg_calc_output_dimensions(&decoder);
    width = decoder.output_width;
    height = decoder.output_height;
    if (width == 0 || height == 0 || width > max_image_side || height > max_image_side ||
        static_cast<unsigned long>(width) * height > max_image_pixels) {
        jpeg_destroy_decompress(&decoder);
        fail_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                 "The JPEG image is too large to print: " + std::to_string(width) + " x " + std::to_string(height) +
                     " pixels.");
        return false;
    }
    const unsigned dots_x = decoder.X_density, dots_y = decoder.Y_density;
    ppi = decoder.density_unit == 1 ? int(dots_x) : decoder.density_unit == 2 ? int(dots_x * 254 / 100) : 0;
    if (dots_x != dots_y)
        ppi = 0;  // pixels not square: fitted to the page
    pixels.resize(size_t{width} * height);
    jpeg_start_decompress(&decoder);
    while (decoder.output_scanline < height) {
        JSAMPROW row = pixels.data() + size_t{decoder.output_scanline} * width;
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    const PrintOptions options(papplJobCreatePrintOptions(job, 1, false));
    return print_image(job, device, options.get(), std::move(pixels), width, height, ppi);
}

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
                while ((got = poll(&ready, 1, 1000)) == 0 && (waited += 1000) < 1000 * static_cast<int>(sandbox.bounds.silence_seconds))
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
            full = too_many_files || use.bytes > sandbox.bounds.bytes;
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
            const rlimit file_size{sandbox.bounds.bytes, sandbox.bounds.bytes};
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
    const std::string written = "Ghostscript wrote more than the " + std::to_string(sandbox.bounds.bytes >> 20) +
                                " MiB of files a conversion may write (four times the largest document the server "
                                "takes, and at least 16 MiB).";
    const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const std::string why =
        output.too_many_files ? "Ghostscript made more than the " + std::to_string(files_per_conversion) +
                                    " files a conversion may make."
        : output.full         ? written
        : output.silent       ? "Ghostscript made nothing for " + std::to_string(sandbox.bounds.silence_seconds) +
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

// Documents the printer cannot print end their job with the reason in
// the filter's data.
constexpr const char *unknown_format =
    "The document is in a format this printer cannot print; it takes PDF, PostScript, PNG, JPEG, PWG raster and "
    "Apple raster.";

bool refuse(pappl_job_t *job, pappl_device_t *, void *reason)
{
    fail_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, static_cast<const char *>(reason));
    return false;
}

}  // namespace

namespace {

// Every folder from / down to path may be entered by any user.
bool others_may_enter(const std::filesystem::path &path)
{
    std::filesystem::path at;
    for (const auto &part : path) {
        at /= part;
        struct stat info{};
        if (stat(at.c_str(), &info) != 0 || !(info.st_mode & S_IXOTH))
            return false;
    }
    return true;
}

// The folder of scratch folders: one per state file, in the first
// temporary folder that the conversions' users can enter (a private TMPDIR
// cannot be), made anew: what conversions a crash cut short left there
// goes.
std::optional<std::string> make_conversions_folder(const std::string &state_file, bool other_users)
{
    std::vector<std::string> candidates{papplGetTempDir(), "/tmp"};
    const auto parent = std::find_if(candidates.begin(), candidates.end(), [&](const std::string &folder) {
        return !folder.empty() && (!other_users || others_may_enter(folder));
    });
    if (parent == candidates.end())
        return "neither " + candidates[0] + " nor /tmp can be entered by other users";
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : state_file)
        hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
    std::array<char, 17> hex{};
    std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(hash));
    std::string root = *parent + "/quillet-conversions-" + std::to_string(geteuid()) + "-" + hex.data();
    struct stat info{};
    if (lstat(root.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()) {
        // What conversions a crash cut short may still run goes first.
        std::error_code gone;
        for (const auto &entry : std::filesystem::directory_iterator(root, gone)) {
            struct stat job{};
            if (lstat(entry.path().c_str(), &job) == 0 && sandbox.switch_user && job.st_uid >= sandbox.ids.first &&
                job.st_uid - sandbox.ids.first < sandbox.ids.count) {
                // Unless another server of the host uses the id now.
                std::string failed;
                if (const int claim = claim_id(job.st_uid, failed); claim >= 0) {
                    end_processes_of(job.st_uid);
                    close(claim);
                }
            }
        }
        take_and_remove(root);
    }
    if (mkdir(root.c_str(), 0711) != 0 || chmod(root.c_str(), 0711) != 0) {
        // Someone else's in the way: a folder of a new name.
        root = *parent + "/quillet-conversions.XXXXXX";
        if (!mkdtemp(root.data()) || chmod(root.c_str(), 0711) != 0)
            return "no folder for them can be made in " + *parent + ": " + std::strerror(errno);
    }
    sandbox.root = root;
    return std::nullopt;
}

}  // namespace

void remove_conversions_folder()
{
    if (!sandbox.root.empty())
        take_and_remove(sandbox.root);
}

std::optional<std::string> set_up_conversions(const std::string &state_file, ConversionIds ids, ConversionBounds bounds)
{
    sandbox.bounds = bounds;
    if (geteuid() != 0)
        return make_conversions_folder(state_file, false);  // a user's own server converts as that user
    // Every id is a stranger to the host: no user has it, and no user's
    // containers map to it.
    if (ids.count == 0 || ids.first == 0 || ids.first + ids.count - 1 < ids.first)
        return "no conversion user ids";
    for (uid_t uid = ids.first; uid - ids.first < ids.count; uid++)
        if (getpwuid(uid) || getgrgid(uid))
            return "user or group id " + std::to_string(uid) + " of the conversions' range is taken";
    for (const char *subordinates : {"/etc/subuid", "/etc/subgid"}) {
        std::ifstream lines(subordinates);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string owner, first, count;
            if (std::getline(fields, owner, ':') && std::getline(fields, first, ':') && std::getline(fields, count)) {
                const unsigned long long from = std::strtoull(first.c_str(), nullptr, 10),
                                         to = from + std::strtoull(count.c_str(), nullptr, 10);
                if (from < ids.first + uint64_t{ids.count} && ids.first < to)
                    return "the conversions' ids overlap " + owner + "'s in " + subordinates;
            }
        }
    }
    sandbox.ids = ids;
    ids_taken.assign(ids.count, false);
    sandbox.switch_user = true;
    return make_conversions_folder(state_file, true);
}

void add_document_filters(pappl_system_t *system)
{
    // Looked up by the driver's format before PAPPL's own.
    papplSystemAddMIMEFilter(system, "image/png", printer_format, print_png, nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", printer_format, print_jpeg, nullptr);
    papplSystemAddMIMEFilter(system, "image/pwg-raster", printer_format, print_raster, nullptr);
    papplSystemAddMIMEFilter(system, "image/urf", printer_format, print_raster, nullptr);
    papplSystemAddMIMEFilter(system, "application/octet-stream", printer_format, refuse,
                             const_cast<char *>(unknown_format));
    if (access(ghostscript, X_OK) == 0) {
        papplSystemAddMIMEFilter(system, "application/pdf", printer_format, print_pdf, nullptr);
        papplSystemAddMIMEFilter(system, "application/postscript", printer_format, print_pdf, nullptr);
    }
}

}  // namespace quillet::app
