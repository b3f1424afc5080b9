// Ghostscript, run on a document as the conversion's own user in its scratch
// folder (-dSAFER, bounded in memory, time, bytes and files): its command,
// its output read page by page, and why a run did not end well.
#pragma once

#include <sys/resource.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "conversions.h"

namespace quillet::app {

// Whether Ghostscript is installed.
bool ghostscript_installed();

// Reads Ghostscript's output, waiting at most the silence bound for
// each chunk, and keeps an eye on what its scratch folder holds.
class PipeReader {
public:
    PipeReader(int fd, const ScratchFolder &scratch) : fd_(fd), scratch_(scratch) {}
    // false at the end of the output, when Ghostscript fell silent, or when
    // its folder went over its bound.
    bool read(uint8_t *out, size_t length);
    // A number of a PGM header, after white space and comments.
    bool number(unsigned &value);
    bool silent = false;
    bool full = false;  // the folder went over the conversion's bound
    bool too_many_files = false;  // its bound on files

private:
    // Looked at once a second at most.
    bool folder_full();
    int fd_;
    const ScratchFolder &scratch_;
    std::chrono::steady_clock::time_point looked_ = std::chrono::steady_clock::now();
    std::array<uint8_t, 65536> buffer_{};
    size_t at_ = 0, filled_ = 0;
};

// Pages of a PGM or PBM stream (P5, 8-bit grey, or P4, 1-bit black), one
// after another.
class RenderedPages {
public:
    RenderedPages(PipeReader &in, char kind) : in_(in), kind_(kind) {}
    enum class Next { page, end, malformed };
    // The next page's size; its rows follow.
    Next next_page(unsigned &width, unsigned &height);
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
    Ghostscript(const ScratchFolder &scratch, const std::vector<std::string> &arguments);
    Ghostscript(const Ghostscript &) = delete;
    Ghostscript &operator=(const Ghostscript &) = delete;
    ~Ghostscript();

    bool started() const { return started_; }
    int output() const { return output_; }
    // Ends it, killed when asked, and waits for it: its wait status.
    int finish(bool kill_it);
    // The last line of its messages.
    std::string last_message() const;

private:
    pid_t pid_ = -1;
    bool started_ = false;
    std::string messages_path_;
    int output_ = -1, messages_ = -1;
    int status_ = 0;
};

// What every run of Ghostscript on a document is given.
std::vector<std::string> ghostscript_arguments(unsigned res_x, unsigned res_y, const char *device);

// Why a run of Ghostscript did not end well (cut_short: the job ended it,
// pages: the pages it rendered); empty when it did.
std::string ghostscript_failure(Ghostscript &gs, const PipeReader &output, bool cut_short, unsigned pages);

}  // namespace quillet::app
