// Writing files so that a full disk or a crash never leaves half of one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillet::app {

// Writes all of text to fd, again after a short write; the reason when it
// cannot (a full disk's short write sets no errno).
std::optional<std::string> write_all(int fd, std::string_view text);

// Writes text to path so that a crash or a full disk leaves the old or the
// new file: a temporary file beside it, every write, the flush and the
// close checked, its size compared, renamed over it.  The reason when the
// old file stays.
std::optional<std::string> replace_file(const std::string &path, std::string_view text);

}  // namespace quillet::app
