#include "process.h"


#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace quillet::test {

std::vector<std::string> RunResult::err_lines() const
{
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Process::Process(const std::string &program, const RunOptions &options)
{
    // A program that ends early closes its input: see EPIPE, not SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        throw std::runtime_error("pipe failed");

    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LANG=C"};
    for (const auto &[k, v] : options.env)
        env.push_back(k + "=" + v);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(in[0], 0);
        if (options.stdout_path) {
            int fd = open(options.stdout_path->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0)
                _exit(126);
            dup2(fd, 1);
            close(fd);
        } else {
            dup2(out[1], 1);
        }
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        ::signal(SIGPIPE, SIG_DFL);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &a : options.args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char *> envp;
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (options.close_stdout) {
        close(out_);
        out_ = -1;
    }
    fcntl(in_, F_SETFL, O_NONBLOCK);
    fcntl(in_, F_SETFD, FD_CLOEXEC);
    fcntl(out_, F_SETFD, FD_CLOEXEC);
    fcntl(err_, F_SETFD, FD_CLOEXEC);
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0)
            close(fd);
}

bool Process::pump(int timeout_ms)
{
    pollfd fds[2];
    int n = 0;
    if (out_ >= 0 && !paused_)
        fds[n++] = {out_, POLLIN, 0};
    if (err_ >= 0)
        fds[n++] = {err_, POLLIN, 0};
    if (n == 0) {
        if (out_ < 0 && err_ < 0)
            return false;
        poll(nullptr, 0, timeout_ms);
        return true;
    }
    if (poll(fds, nfds_t(n), timeout_ms) <= 0)
        return true;
    for (int i = 0; i < n; i++) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buf[65536];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got <= 0) {
            close(fds[i].fd);
            (fds[i].fd == out_ ? out_ : err_) = -1;
        } else if (fds[i].fd == out_) {
            result_.out.insert(result_.out.end(), buf, buf + got);
        } else {
            result_.err.append(buf, size_t(got));
        }
    }
    return true;
}

void Process::write(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size() && in_ >= 0) {
        ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EPIPE) {
            close_input();
            return;
        }
        // The pipe is full: let the program's output drain meanwhile.
        pollfd fds[3];
        int k = 0;
        fds[k++] = {in_, POLLOUT, 0};
        if (out_ >= 0)
            fds[k++] = {out_, POLLIN, 0};
        if (err_ >= 0)
            fds[k++] = {err_, POLLIN, 0};
        poll(fds, nfds_t(k), 50);
        pump(0);
        if (out_ < 0 && err_ < 0) {
            close_input();
            return;
        }
    }
}

void Process::close_input()
{
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

bool Process::wait_for_err(const std::string &text, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (result_.err.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > end || !pump(20))
            return false;
    }
    return true;
}

bool Process::wait_for_handler(int sig, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(status_path);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1)
                return true;
        }
        pump(10);
    }
    return false;
}

bool Process::wait_blocked_writing(std::chrono::milliseconds timeout)
{
    // Blocked: the pipe to the reader is full and the main thread sleeps.
    int capacity = fcntl(out_, F_GETPIPE_SZ);
    auto end = std::chrono::steady_clock::now() + timeout;
    std::string stat_path = "/proc/" + std::to_string(pid_) + "/stat";
    while (std::chrono::steady_clock::now() < end) {
        pump(10);
        int queued = 0;
        if (ioctl(out_, FIONREAD, &queued) != 0 || queued < capacity)
            continue;
        std::ifstream in(stat_path);
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t paren = stat.rfind(')');
        if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S')
            return true;
    }
    return false;
}

bool Process::wait_signal_taken(int sig, std::chrono::milliseconds timeout)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    std::string status_path = "/proc/" + std::to_string(pid_) + "/status";
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(status_path);
        bool pending = false;
        for (std::string line; std::getline(in, line);)
            if ((line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) &&
                (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1)
                pending = true;
        if (!pending)
            return true;
        pump(1);
    }
    return false;
}

void Process::signal(int sig)
{
    kill(pid_, sig);
}

RunResult Process::finish(std::chrono::milliseconds timeout)
{
    close_input();
    paused_ = false;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (pump(50)) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid_, SIGKILL);
            break;
        }
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status)) {
        result_.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
    }
    return std::move(result_);
}

std::string filter_path()
{
    return QUILLET_FILTER;
}

std::string test_ppd_path()
{
    return QUILLET_TEST_PPD;
}

std::vector<std::string> filter_args(const std::string &file)
{
    std::vector<std::string> args = {"42", "user", "title", "1", ""};
    if (!file.empty())
        args.push_back(file);
    return args;
}

RunOptions filter_options(const std::string &file)
{
    RunOptions o{filter_args(file)};
    o.env["PPD"] = test_ppd_path();
    return o;
}

RunResult run_filter(const RunOptions &options, const std::vector<uint8_t> &input)
{
    RunOptions o = options;
    if (!o.no_ppd && !o.env.count("PPD"))
        o.env["PPD"] = test_ppd_path();
    Process p(filter_path(), o);
    p.write(input);
    return p.finish();
}

}  // namespace quillet::test
