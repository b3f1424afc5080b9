// The functions of PAPPL that the application defines in its own
// executable, so that the dynamic linker sends the library's own calls to
// its versions (each mends a fault of the library that no public interface
// reaches; the comment at each definition says which).
#pragma once

#include <array>

#include "interposition_check.h"

namespace quillet::app {

// Every function the application defines in front of PAPPL's, and the
// private ones it calls; a PAPPL with the patches of
// packaging/pappl-patches mends the faults of all but papplDeviceOpen
// itself, and keeps the order of the jobs _papplJobProcess starts.
#if QUILLET_PATCHED_PAPPL
inline constexpr std::array<const char *, 2> interposed_functions = {"papplDeviceOpen", "_papplJobProcess"};
inline constexpr std::array<const char *, 0> pappl_private_calls = {};
#else
inline constexpr std::array<const char *, 6> interposed_functions = {
    "_papplClientIsAuthorizedForGroup", "papplDeviceOpen",       "_papplJobProcess",
    "_papplJobCopyDocumentData",        "_papplJobCopyAttributesNoLock", "_papplClientProcessIPP"};
inline constexpr std::array<const char *, 1> pappl_private_calls = {"_papplJobSubmitFile"};
#endif

// PAPPL, as the server checks it at start.
inline constexpr MendedLibrary mended_pappl{"papplSystemCreate", interposed_functions, pappl_private_calls};

}  // namespace quillet::app
