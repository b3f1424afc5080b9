// Runs the built filter as CUPS does: arguments, environment, raster on
// standard input or in a file; collects standard output, standard error and
// the exit status.  A Process can be fed step by step, so that a test can
// signal the filter in the middle of a page.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillet::test {

struct RunResult {
    int status = -1;  // exit status, -1 when ended by a signal
    int signal = 0;   // the signal that ended it, else 0
    std::vector<uint8_t> out;
    std::string err;
    std::vector<std::string> err_lines() const;
};

struct RunOptions {
    RunOptions() = default;
    RunOptions(std::vector<std::string> arguments) : args(std::move(arguments)) {}
    std::vector<std::string> args;            // argv[1..]
    std::map<std::string, std::string> env;   // on top of PATH and LANG=C
    std::optional<std::string> stdout_path;   // send standard output here instead of a pipe
    bool no_ppd = false;                      // leave PPD unset
    bool close_stdout = false;                // nobody reads standard output
};

class Process {
public:
    Process(const std::string &program, const RunOptions &options);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // Writes to the program's standard input while collecting its output.
    void write(const std::vector<uint8_t> &bytes);
    void close_input();
    // Stops or resumes reading the program's standard output.
    void pause_output(bool paused) { paused_ = paused; }
    // Waits until standard error holds text; false on time-out or exit.
    bool wait_for_err(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void signal(int sig);
    // Waits until a signal sent is no longer pending: the program has taken it.
    bool wait_signal_taken(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until the program's main thread blocks writing to its output.
    bool wait_blocked_writing(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until the program has installed a handler for sig.
    bool wait_for_handler(int sig, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    RunResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    pid_t pid() const { return pid_; }

private:
    bool pump(int timeout_ms);  // false when both outputs are closed
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    RunResult result_;
    bool paused_ = false;
};

// The built filter, run with the given arguments and input on standard input.
RunResult run_filter(const RunOptions &options, const std::vector<uint8_t> &input = {});
std::string filter_path();
std::string test_ppd_path();

// CUPS's five standard arguments, with the raster file as sixth when given.
std::vector<std::string> filter_args(const std::string &file = {});
// Those arguments with PPD set to the tests' PPD, for a Process of the filter.
RunOptions filter_options(const std::string &file = {});

}  // namespace quillet::test
