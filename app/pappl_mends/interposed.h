// The functions of PAPPL that the application defines in its own
// executable, so that the dynamic linker sends the library's own calls to
// its versions (each mends a fault of the library that no public interface
// reaches; the comment at each definition says which).
#pragma once

#include <array>

#include "interposition_check.h"

namespace quillet::app {

// Every function the application defines in front of PAPPL's, and the
// private ones it calls.  A PAPPL with the patches of
// packaging/pappl-patches mends every fault they mend: the application
// built for it defines none of them (the build leaves this folder out).
inline constexpr std::array<const char *, 8> interposed_functions = {
    "_papplClientIsAuthorizedForGroup", "papplDeviceOpen",       "_papplJobProcess",
    "_papplJobCopyDocumentData",        "_papplJobCopyAttributesNoLock", "_papplClientProcessIPP",
    "_papplPrinterIsAuthorized",        "_papplPrinterCopyStateNoLock"};
inline constexpr std::array<const char *, 1> pappl_private_calls = {"_papplJobSubmitFile"};

// PAPPL, as the server checks it at start.
inline constexpr MendedLibrary mended_pappl{"papplSystemCreate", interposed_functions, pappl_private_calls};

}  // namespace quillet::app
