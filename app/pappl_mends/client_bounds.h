// What one client may spend of the server: connections from one address,
// and the work one request asks for.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace quillet::app {

// Connections one address (an IPv6 /64) holds at once; past them a new one
// is closed within a second.  Browsers open six at most, CUPS and phones
// one or two.
inline constexpr unsigned connections_per_address = 32;

// Distinct names a request's requested-attributes keeps: IPP defines a few
// hundred.
inline constexpr size_t requested_names_kept = 1024;

// Bounds the connections of each address to the server's port, through a
// timer of the system's: PAPPL starts a thread for every connection it
// takes, and asks the application nothing before.
void bound_connections(pappl_system_t *system);

// A request's requested-attributes made to name each attribute once, before
// PAPPL reads it: libcups's array of them grows by every value, each added
// in order, so repeats cost time by their square.
void name_requested_attributes_once(ipp_t *request);

}  // namespace quillet::app
