// What the server allows: who administers it, where printers may write, and
// how its state reaches the disk.
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

// A device URI's scheme and path; nothing when it is no URI.
struct DeviceUri {
    std::string scheme, path;
};
std::optional<DeviceUri> split_device_uri(const char *uri);

// Whether a printer may be created with this device URI.  file:// must name
// output_directory or a folder inside it (no symbolic links, no options);
// an empty output_directory refuses every file:// URI.  dnssd:// needs
// DNS-SD to be reachable.  Other schemes are the printer's connections.
bool device_uri_allowed(const char *uri, const std::string &output_directory, bool dns_sd, std::string &why);

// Whether a folder with this status may be written by its owner alone,
// and its owner is the server's user or root.
bool writable_only_by_owner(const struct stat &info);

// The server's local socket: in runtime_directory() for root, in $TMPDIR
// (made the user's own folder) for a user's server.
std::string socket_path();

// The set-password sub-command: the administrator's password from the first
// line of standard input, given to the running server over its local
// socket.
int set_password_command(const char *base_name, int num_options, cups_option_t *options, int num_files,
                         char **files, void *);

// The server's page that sets the password, on the local socket only: the
// password form-encoded in a POST, answered in plain text.
inline constexpr const char *password_path = "/set-password";
bool set_password_resource(pappl_client_t *client, void *);

// Whether a server answers on this local socket.
bool socket_answers(const char *path);

// Whether DNS-SD (the system bus and avahi-daemon) answers on this machine.
bool dns_sd_available();

// HTTP Basic credentials checked against the system's administrator
// password; without a password set nobody is authorized from the network.
http_status_t authorize(pappl_client_t *client, const char *group, gid_t group_id, void *);

// What a client may do without credentials, as authorize() decides it:
// printing and the client's own jobs; nothing when credentials decide.
std::optional<http_status_t> open_decision(pappl_client_t *client, const char *group);

// The reason the printer being added on this thread is refused, given to
// the client that adds it.
void refuse_printer(const std::string &why);

// The user name of the request's Basic credentials, or nothing.
std::string basic_user(pappl_client_t *client);

// Whether user is a member of group, by primary or supplementary group.
bool in_group(const std::string &user, gid_t group);

// The client being served on this thread, noted when PAPPL asks who it
// is (printer_attributes.cpp reads its request).
void note_client(pappl_client_t *client);
pappl_client_t *noted_client();

// Whether the client administers the server: on the local socket, or with
// the administrator's credentials.
bool is_administrator(pappl_client_t *client);

// The page that sets the administrator's password, for an administrator
// (the password itself, or a local client on the socket).
bool security_page(pappl_client_t *client, void *);

// The state file's text with every job that was printing when the server
// stopped, and every waiting one whose spool file is gone, made aborted by
// the system: PAPPL would list the first as printing for good and drop the
// others altogether.  Waiting jobs with their documents print.
std::string interrupted_jobs_aborted(const std::string &state);

// Writes text to path so that a crash leaves the old or the new file.
bool replace_file(const std::string &path, const std::string &text);

// Saves the state so that a crash at any moment leaves the old or the new
// file: a temporary file beside it, flushed to disk, renamed over it.
bool save_state_atomically(pappl_system_t *system, const std::string &path);

}  // namespace quillet::app
