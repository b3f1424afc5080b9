// A private cupsd for the tests: loopback only, with folders of its own.
#pragma once

#include <memory>
#include <string>

#include "files.h"
#include "process.h"

namespace quillet::test {

// A free TCP port on 127.0.0.1.
int free_port();

class PrivateCupsd {
public:
    // Starts cupsd on 127.0.0.1:port and waits until it answers IPP.
    explicit PrivateCupsd(int port);
    ~PrivateCupsd();
    PrivateCupsd(const PrivateCupsd &) = delete;
    PrivateCupsd &operator=(const PrivateCupsd &) = delete;

    bool running() const { return running_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string file(const std::string &name) const { return dir_.file(name); }
    std::string error_log() const;

private:
    TempDir dir_;
    int port_;
    std::unique_ptr<Process> process_;
    bool running_ = false;
};

}  // namespace quillet::test
