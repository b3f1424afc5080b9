#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace quillet::app {

std::optional<std::string> write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return std::strerror(written < 0 ? errno : ENOSPC);
        text.remove_prefix(static_cast<size_t>(written));
    }
    return std::nullopt;
}

std::optional<std::string> replace_file(const std::string &path, std::string_view text)
{
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return "cannot create " + temporary + ": " + std::strerror(errno);
    // Every step is checked: a full disk shows in a write, in fsync or in
    // close, and a file shorter than the text never replaces the old one.
    std::optional<std::string> failure = write_all(fd, text);
    struct stat written{};
    if (!failure && fsync(fd) != 0)
        failure = std::strerror(errno);
    if (!failure && (fstat(fd, &written) != 0 || written.st_size != static_cast<off_t>(text.size())))
        failure = "it holds " + std::to_string(written.st_size) + " of " + std::to_string(text.size()) + " bytes";
    if (close(fd) != 0 && !failure)
        failure = std::strerror(errno);
    if (!failure && std::rename(temporary.c_str(), path.c_str()) != 0)
        failure = std::strerror(errno);
    if (failure) {
        unlink(temporary.c_str());
        return "cannot write " + temporary + ": " + *failure;
    }
    // The folder flushed, so that the rename itself is kept.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return std::nullopt;
}

}  // namespace quillet::app
