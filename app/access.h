// Who may do what: printing open to all, administration with the
// administrator's password or on the local socket; logins and the password.
#pragma once

#include <pappl/pappl.h>
#include <sys/stat.h>

#include <optional>
#include <string>

namespace quillet::app {

// The set-password sub-command: the administrator's password from the first
// line of standard input, given to the running server over its local
// socket.
int set_password_command(const char *base_name, int num_options, cups_option_t *options, int num_files,
                         char **files, void *);

// The server's page that sets the password, on the local socket only: the
// password form-encoded in a POST, answered in plain text.
inline constexpr const char *password_path = "/set-password";
bool set_password_resource(pappl_client_t *client, void *);

// HTTP Basic credentials checked against the system's administrator
// password; without a password set nobody is authorized from the network.
http_status_t authorize(pappl_client_t *client, const char *group, gid_t group_id, void *);

// What a client may do without credentials, as authorize() decides it:
// printing and the client's own jobs; nothing when credentials decide.
std::optional<http_status_t> open_decision(pappl_client_t *client, const char *group);

// Whom a client counts as, for what one client may spend: the IPv4
// address it connects from, or the /64 network of its IPv6 one (a host is
// given a /64 and picks addresses in it at will); empty on the local
// socket.
std::string client_network(pappl_client_t *client);
// The same for a connected socket's other end; empty for a socket of this
// host's own (AF_LOCAL) or one not connected.
std::string client_network(int connection);

// Whether the client connects on the local socket (root and the admin
// group only).
bool on_local_socket(pappl_client_t *client);

// The user name of the request's Basic credentials, or nothing.
std::string basic_user(pappl_client_t *client);

// Whether user is a member of group, by primary or supplementary group.
bool in_group(const std::string &user, gid_t group);

// Whether the client administers the server: on the local socket, or with
// the administrator's credentials.
bool is_administrator(pappl_client_t *client);

// The page that sets the administrator's password, for an administrator
// (the password itself, or a local client on the socket).
bool security_page(pappl_client_t *client, void *);

}  // namespace quillet::app
