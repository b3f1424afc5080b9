// The server's own folders: the runtime folder and its local socket.
#pragma once

#include <pappl/pappl.h>
#include <sys/stat.h>

#include <optional>
#include <string>

namespace quillet::app {

// The folder of the server's local socket, which only root (or the admin
// group) may enter: PAPPL itself makes the socket open to every local user.
std::string runtime_directory();
// Makes the folder, owned by the caller, mode 0700; false with a message in
// error when it cannot be made or is not the caller's own.
bool make_private_directory(const std::string &path, std::string &error);

// The server's local socket: in runtime_directory() for root, in $TMPDIR
// (made the user's own folder) for a user's server.
std::string socket_path();

// Whether a server answers on this local socket.
bool socket_answers(const char *path);

}  // namespace quillet::app
