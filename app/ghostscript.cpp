#include "ghostscript.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace quillet::app {

namespace {

constexpr const char *ghostscript = "/usr/bin/gs";
// Ghostscript's bounds: memory, CPU time, and the longest wait for its next
// bytes.
constexpr rlim_t ghostscript_memory = rlim_t{2} << 30;
constexpr rlim_t ghostscript_cpu_seconds = 600;

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

}  // namespace

bool PipeReader::read(uint8_t *out, size_t length)
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

bool PipeReader::number(unsigned &value)
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

bool PipeReader::folder_full()
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

RenderedPages::Next RenderedPages::next_page(unsigned &width, unsigned &height)
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

Ghostscript::Ghostscript(const ScratchFolder &scratch, const std::vector<std::string> &arguments)
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

Ghostscript::~Ghostscript()
{
    finish(true);
    if (messages_ >= 0) {
        close(messages_);
        unlink(messages_path_.c_str());  // for the next run in the folder
    }
}

int Ghostscript::finish(bool kill_it)
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

std::string Ghostscript::last_message() const
{
    return messages_ >= 0 ? last_line(messages_) : std::string();
}

std::vector<std::string> ghostscript_arguments(unsigned res_x, unsigned res_y, const char *device)
{
    const std::string resolution = "-r" + std::to_string(res_x) + "x" + std::to_string(res_y);
    return {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-sstdout=%stderr",
            std::string("-sDEVICE=") + device, resolution};
}

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

bool ghostscript_installed()
{
    return access(ghostscript, X_OK) == 0;
}

}  // namespace quillet::app
