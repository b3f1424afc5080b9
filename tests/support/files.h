// Small file helpers for the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test {

std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
void write_file(const std::string &path, const std::string &text);

// A fresh folder under /tmp, removed with its contents when it goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace quillet::test
