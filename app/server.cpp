#include "server.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <vector>

namespace quillet::app {

bool socket_answers(const char *path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    bool answers = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return answers;
}

std::string runtime_directory()
{
    if (const char *chosen = std::getenv("QUILLET_RUNTIME_DIR"); chosen && *chosen)
        return chosen;
    if (geteuid() == 0)
        return "/run/quillet-printer-app";
    if (const char *xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg)
        return std::string(xdg) + "/quillet-printer-app";
    return "/tmp/quillet-printer-app-" + std::to_string(geteuid());
}

std::string socket_path()
{
    if (geteuid() == 0)
        return runtime_directory() + "/quillet-printer-app.sock";
    return std::string(papplGetTempDir()) + "/quillet-printer-app" + std::to_string(getuid()) + ".sock";
}

bool make_private_directory(const std::string &path, std::string &error)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info{};
    if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        error = path + " is not a folder of this user's own";
        return false;
    }
    if ((info.st_mode & 0777) != 0700 && (info.st_mode & 0027) != 0 && chmod(path.c_str(), 0700) != 0) {
        error = "cannot make " + path + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace quillet::app
